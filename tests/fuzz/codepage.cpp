// The code-page conversions and comparisons, on any bytes.
#include "platform/codepage.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzz::Text(data, size);
  // Every direction, with whatever the bytes are.
  std::string utf8 = codepage::AnsiToUtf8(text);
  std::string ansi = codepage::Utf8ToAnsi(text);
  std::u16string wide = codepage::AnsiToWide(text);
  codepage::WideToAnsi(wide);
  codepage::WideToUtf8(codepage::Utf8ToWide(text));
  // What comes out towards Unicode is valid: it converts back and forth unchanged.
  fuzz::Require(codepage::WideToUtf8(codepage::Utf8ToWide(utf8)) == utf8, "AnsiToUtf8 gave invalid UTF-8");
  // Walking by characters covers the text exactly.
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = codepage::CharLength(text.substr(i));
    fuzz::Require(len <= text.size() - i, "a character longer than the rest of the text");
    i += len ? len : 1;
  }
  // The comparisons: a text equals itself, and the order is antisymmetric.
  std::string_view a = text.substr(0, size / 2), b = text.substr(size / 2);
  fuzz::Require(codepage::EqualsNoCase(a, a), "a text differs from itself");
  int ab = codepage::CompareNoCase(a, b), ba = codepage::CompareNoCase(b, a);
  fuzz::Require((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0), "the order is not antisymmetric");
  return 0;
}
