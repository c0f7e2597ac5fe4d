#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace codepage {

namespace {

// Length of the UTF-8 sequence starting at p, or 0 when it is not valid.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t n) {
  if (n == 0) return 0;
  unsigned char c = p[0];
  std::size_t len;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

bool IsUtf8(const char* name) {
  std::string_view n = name;
  return n == "UTF-8" || n == "utf-8" || n == "UTF8" || n == "utf8";
}
bool IsUtf16(const char* name) { return std::string_view(name) == "UTF-16LE"; }

// How many bytes of unconvertible input to skip, given the source encoding.
std::size_t SkipLength(const char* from, const char* in, std::size_t left) {
  if (IsUtf8(from)) {
    std::size_t len = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(in), left);
    return len ? len : 1;
  }
  if (IsUtf16(from)) {
    if (left >= 4) {
      auto u = static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8);
      auto u2 = static_cast<unsigned char>(in[2]) | (static_cast<unsigned char>(in[3]) << 8);
      if (u >= 0xD800 && u <= 0xDBFF && u2 >= 0xDC00 && u2 <= 0xDFFF) return 4;
    }
    return left >= 2 ? 2 : left;
  }
  return 1;  // a byte of a multibyte code page that does not start a valid character
}

// The replacement in the target encoding.
std::string_view Replacement(const char* to) {
  if (IsUtf8(to)) return "\xEF\xBF\xBD";
  if (IsUtf16(to)) return std::string_view("\xFD\xFF", 2);
  return "?";
}

}  // namespace

const std::string& Name() {
  static const std::string name = [] {
    const char* env = std::getenv("VELMORA_CODEPAGE");
    return std::string(env && *env ? env : "GBK");
  }();
  return name;
}

std::string Convert(std::string_view text, const char* from, const char* to, bool* ok) {
  if (ok) *ok = true;
  if (text.empty()) return {};
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (ok) *ok = false;
    return {};
  }
  std::string out;
  out.reserve(text.size() * 2 + 4);
  char buf[4096];
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  // Towards a narrow code page, an unmappable character becomes the code
  // page's default character; undecodable input is replaced the same way.
  std::string_view replacement = Replacement(to);
  while (inLeft > 0) {
    char* outp = buf;
    std::size_t outLeft = sizeof buf;
    std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
    out.append(buf, static_cast<std::size_t>(outp - buf));
    if (r != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno == EILSEQ || errno == EINVAL) {
      // An incomplete character at the end is one bad character.
      std::size_t skip = errno == EINVAL ? inLeft : SkipLength(from, in, inLeft);
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
      out.append(replacement);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state
      continue;
    }
    break;  // anything else: stop with what was converted
  }
  // Flush any shift state.
  char* outp = buf;
  std::size_t outLeft = sizeof buf;
  iconv(cd, nullptr, nullptr, &outp, &outLeft);
  out.append(buf, static_cast<std::size_t>(outp - buf));
  iconv_close(cd);
  return out;
}

std::optional<std::string> ConvertExact(std::string_view text, const char* from, const char* to) {
  if (text.empty()) return std::string();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buf[4096];
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  bool exact = true;
  while (exact && inLeft > 0) {
    char* outp = buf;
    std::size_t outLeft = sizeof buf;
    std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
    out.append(buf, static_cast<std::size_t>(outp - buf));
    // glibc counts characters it could only approximate as irreversible.
    if (r != static_cast<std::size_t>(-1)) exact = r == 0;
    else if (errno != E2BIG) exact = false;
  }
  char* outp = buf;
  std::size_t outLeft = sizeof buf;
  if (exact) iconv(cd, nullptr, nullptr, &outp, &outLeft);
  out.append(buf, static_cast<std::size_t>(outp - buf));
  iconv_close(cd);
  if (!exact) return std::nullopt;
  return out;
}

std::optional<std::string> AnsiToUtf8Exact(std::string_view ansi) { return ConvertExact(ansi, Name().c_str(), "UTF-8"); }
std::optional<std::string> Utf8ToAnsiExact(std::string_view utf8) { return ConvertExact(utf8, "UTF-8", Name().c_str()); }

std::size_t CharLength(std::string_view ansi) {
  // The longest character of any code page iconv knows (GB18030) has four bytes.
  constexpr std::size_t kMaxCharBytes = 4;
  if (ansi.empty()) return 0;
  // One decoder per thread, opened on first use and kept.
  struct Decoder {
    iconv_t cd = iconv_open("UTF-32LE", Name().c_str());
    ~Decoder() {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  };
  thread_local Decoder decoder;
  if (decoder.cd == reinterpret_cast<iconv_t>(-1)) return 0;
  // The shortest prefix that decodes whole is the first character; a
  // prefix that is merely incomplete gets one more byte.
  for (std::size_t n = 1; n <= kMaxCharBytes && n <= ansi.size(); ++n) {
    iconv(decoder.cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(ansi.data());
    std::size_t inLeft = n;
    char out[4 * kMaxCharBytes];
    char* outp = out;
    std::size_t outLeft = sizeof out;
    if (iconv(decoder.cd, &in, &inLeft, &outp, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0) return n;
    if (errno != EINVAL) return 0;
  }
  return 0;
}

std::string AnsiToUtf8(std::string_view ansi) { return Convert(ansi, Name().c_str(), "UTF-8"); }
std::string Utf8ToAnsi(std::string_view utf8) { return Convert(utf8, "UTF-8", Name().c_str()); }

std::u16string Utf8ToWide(std::string_view utf8) {
  std::string bytes = Convert(utf8, "UTF-8", "UTF-16LE");
  std::u16string w(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < w.size(); ++i)
    w[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return w;
}

std::string WideToUtf8(std::u16string_view wide) {
  std::string bytes(wide.size() * 2, '\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(wide[i] >> 8);
  }
  return Convert(bytes, "UTF-16LE", "UTF-8");
}

std::u16string AnsiToWide(std::string_view ansi) { return Utf8ToWide(AnsiToUtf8(ansi)); }
std::string WideToAnsi(std::u16string_view wide) { return Utf8ToAnsi(WideToUtf8(wide)); }

namespace {
unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Walks both texts character by character: a byte >= 0x80 starts a
// double-byte character in the multibyte code pages of this system, and its
// trail byte is never folded (a trail byte may look like an ASCII letter).
int CompareFolded(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  bool utf8 = IsUtf8(Name().c_str());
  while (i < a.size() && i < b.size()) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    bool lead = !utf8 && ca >= 0x81;
    unsigned char fa = lead ? ca : Fold(ca);
    unsigned char fb = (!utf8 && cb >= 0x81) ? cb : Fold(cb);
    if (fa != fb) return fa < fb ? -1 : 1;
    ++i;
    if (lead && i < a.size() && i < b.size()) {
      auto ta = static_cast<unsigned char>(a[i]);
      auto tb = static_cast<unsigned char>(b[i]);
      if (ta != tb) return ta < tb ? -1 : 1;
      ++i;
    }
  }
  if (a.size() == b.size()) return 0;
  return i >= a.size() ? -1 : 1;
}
}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareFolded(a, b) == 0;
}
int CompareNoCase(std::string_view a, std::string_view b) { return CompareFolded(a, b); }

}  // namespace codepage
