// The helper's pipe as both of its ends see it: the socket's name and the
// markers of the requests. The helper serves them (helper/Requests.h);
// the client sends them (client/HelperLink.h).
//
// Every marker starts with ASCII punctuation under 0x40, a byte that no
// double-byte character of the code pages uses as lead or trail byte, so a
// plain byte search finds them only where they stand as characters.
#pragma once

#include <string_view>

namespace pipewire {

// The pipe the helper serves.
inline constexpr const char* kPipeName = "testPipe";

// "name$": is a live client running for the user? The reply is its process id or "0".
inline constexpr std::string_view kCheckUser = "$";
// "name*": the user's client signs off.
inline constexpr std::string_view kSignOff = "*";
// "name&pid": a client registers (any request that matches no other form).
inline constexpr char kRegistrationSeparator = '&';
// The list of checked users, as {"userList":[...]}.
inline constexpr std::string_view kAllUsers = "getAllUser";
// The helper ends; it answers with the same text.
inline constexpr std::string_view kStop = "@";
// "name+seturl:address" stores a hand-over address ...
inline constexpr std::string_view kSetUrl = "+seturl:";
inline constexpr std::string_view kSetUrlKey = "+seturl";
// ... which "name+geturl" fetches once.
inline constexpr std::string_view kGetUrl = "+geturl";

}  // namespace pipewire
