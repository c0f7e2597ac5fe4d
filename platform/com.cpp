#include "platform/com.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace com {

namespace {

constexpr GUID MakeGuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, std::uint8_t a,
                        std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t e,
                        std::uint8_t f, std::uint8_t g, std::uint8_t h) {
  return GUID{d1, d2, d3, {a, b, c, d, e, f, g, h}};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads exactly `digits` hex digits at `pos`.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint64_t* out) {
  if (pos + digits > text.size()) return false;
  std::uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  *out = v;
  return true;
}

std::int16_t WrapToShort(double d) {
  // Round to nearest (ties to even, as variant conversion does), then wrap.
  double r = std::nearbyint(d);
  double m = std::fmod(r, 65536.0);
  if (m < 0) m += 65536.0;
  auto u = static_cast<std::uint16_t>(static_cast<std::uint32_t>(m));
  return static_cast<std::int16_t>(u);
}

}  // namespace

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<GUID> GuidFromString(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return std::nullopt;
  GUID g{};
  std::uint64_t v = 0;
  if (!ReadHex(text, 0, 8, &v)) return std::nullopt;
  g.Data1 = static_cast<std::uint32_t>(v);
  if (!ReadHex(text, 9, 4, &v)) return std::nullopt;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 14, 4, &v)) return std::nullopt;
  g.Data3 = static_cast<std::uint16_t>(v);
  const std::size_t bytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, bytePos[i], 2, &v)) return std::nullopt;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

std::optional<std::int16_t> VariantToShort(const Variant& v) {
  if (std::holds_alternative<std::monostate>(v)) return 0;
  if (auto* b = std::get_if<bool>(&v)) return static_cast<std::int16_t>(*b ? -1 : 0);
  if (auto* i = std::get_if<std::int32_t>(&v)) return WrapToShort(static_cast<double>(*i));
  if (auto* d = std::get_if<double>(&v)) {
    if (!std::isfinite(*d)) return std::nullopt;
    return WrapToShort(*d);
  }
  if (auto* s = std::get_if<std::string>(&v)) {
    // A numeric text, optionally surrounded by blanks.
    std::string_view t = *s;
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    if (t.empty()) return std::nullopt;
    std::string copy(t);
    char* end = nullptr;
    double d = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(d)) return std::nullopt;
    return WrapToShort(d);
  }
  return std::nullopt;  // null
}

std::string VariantToText(const Variant& v) {
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  if (auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto* i = std::get_if<std::int32_t>(&v)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&v)) {
    if (std::isnan(*d)) return "NaN";
    if (std::isinf(*d)) return *d > 0 ? "Infinity" : "-Infinity";
    if (std::nearbyint(*d) == *d && std::fabs(*d) < 1e21) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.0f", *d);
      return buf;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, *d);
    return std::string(buf, res.ptr);
  }
  return {};
}

const IID IID_IUnknown = MakeGuid(0x00000000, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IDispatch = MakeGuid(0x00020400, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IClassFactory = MakeGuid(0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IObjectSafety =
    MakeGuid(0xCB5BDC81, 0x93C1, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64);
const IID IID_IServiceProvider =
    MakeGuid(0x6D5140C1, 0x7436, 0x11CE, 0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA);
const IID IID_IOleClientSite = MakeGuid(0x00000118, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IOleObject = MakeGuid(0x00000112, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IPersistPropertyBag =
    MakeGuid(0x37D84F60, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
const IID IID_IPersistStreamInit =
    MakeGuid(0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13);
const IID IID_IPersistStorage = MakeGuid(0x0000010A, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IPersistMemory =
    MakeGuid(0xBD1AE5E0, 0xA6AE, 0x11CE, 0xBD, 0x37, 0x50, 0x42, 0x00, 0xC1, 0x00, 0x00);
const IID IID_IPropertyBag =
    MakeGuid(0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
const IID IID_IWebBrowserApp = MakeGuid(0x0002DF05, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID IID_IWebBrowser2 =
    MakeGuid(0xD30C1661, 0xCDAF, 0x11D0, 0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E);
const GUID SID_STopLevelBrowser =
    MakeGuid(0x4C96BE40, 0x915C, 0x11CF, 0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37);
const GUID SID_SWebBrowserApp = IID_IWebBrowserApp;
const GUID GUID_NULL{};

}  // namespace com
