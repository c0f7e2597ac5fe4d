// Where the service lives and which pages may host the control.
#pragma once

#include <string>
#include <string_view>

namespace wendex {

// The service's origin: $VELMORA_SERVICE, default the embedded demo service.
std::string ServiceOrigin();
inline constexpr const char* kDefaultServiceOrigin = "http://127.0.0.1:8765";

// The origin ("scheme://host[:port]", lower case, default port left out)
// of an absolute address; empty when the address has none.
std::string OriginOf(std::string_view url);

// The control is safe for scripting by untrusted callers only because it
// serves nobody but its own pages: the service's origin, the local host
// over http on any port, and the origins listed in $VELMORA_ALLOWED_ORIGINS
// (comma-separated).
bool IsAllowedHostPage(std::string_view url);

}  // namespace wendex
