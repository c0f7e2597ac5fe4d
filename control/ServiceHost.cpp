#include "control/ServiceHost.h"

#include <cstdlib>

namespace wendex {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

struct Origin {
  std::string scheme, host, port;  // port empty when it is the scheme's default
};

bool ParseOrigin(std::string_view url, Origin* out) {
  std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  Origin o;
  o.scheme = Lower(url.substr(0, colon));
  for (char c : o.scheme)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))
      return false;
  std::string_view rest = url.substr(colon + 3);
  std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  std::string_view hostPart = authority, portPart;
  if (!authority.empty() && authority.front() == '[') {  // IPv6 literal
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    hostPart = authority.substr(0, close + 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') portPart = authority.substr(close + 2);
  } else if (std::size_t pc = authority.rfind(':'); pc != std::string_view::npos) {
    hostPart = authority.substr(0, pc);
    portPart = authority.substr(pc + 1);
  }
  if (hostPart.empty()) return false;
  for (char c : portPart)
    if (c < '0' || c > '9') return false;
  o.host = Lower(hostPart);
  o.port = std::string(portPart);
  if ((o.scheme == "http" && o.port == "80") || (o.scheme == "https" && o.port == "443")) o.port.clear();
  *out = std::move(o);
  return true;
}

std::string Format(const Origin& o) { return o.scheme + "://" + o.host + (o.port.empty() ? "" : ":" + o.port); }

}  // namespace

std::string ServiceOrigin() {
  const char* env = std::getenv("VELMORA_SERVICE");
  std::string s = env && *env ? env : kDefaultServiceOrigin;
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string OriginOf(std::string_view url) {
  Origin o;
  return ParseOrigin(url, &o) ? Format(o) : std::string();
}

bool IsAllowedHostPage(std::string_view url) {
  Origin page;
  if (!ParseOrigin(url, &page)) return false;
  if (page.scheme == "http" && (page.host == "localhost" || page.host == "127.0.0.1")) return true;
  std::string origin = Format(page);
  if (origin == OriginOf(ServiceOrigin())) return true;
  if (const char* list = std::getenv("VELMORA_ALLOWED_ORIGINS")) {
    std::string_view rest = list;
    while (!rest.empty()) {
      std::size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
      if (!item.empty() && OriginOf(item) == origin) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

}  // namespace wendex
