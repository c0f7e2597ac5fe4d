// The saved-login file's rewrite: any file text in, either left alone or
// rewritten as one line that a second rewrite keeps as it is.
#include "client/UserDb.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool autoLogin = data[0] & 1;
  const std::string text(fuzz::Text(data + 1, size - 1));
  std::optional<std::string> once = velmora::RewriteUserDbText(text, autoLogin);
  if (!once) return 0;
  fuzz::Require(once->find('\n') == std::string::npos, "the rewrite is not one line");
  std::optional<std::string> twice = velmora::RewriteUserDbText(*once, autoLogin);
  fuzz::Require(twice.has_value(), "the client cannot read back what it wrote");
  fuzz::Require(*twice == *once, "a second rewrite changed the file");
  return 0;
}
