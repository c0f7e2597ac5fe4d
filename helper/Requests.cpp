#include "helper/Requests.h"

#include <charconv>
#include <climits>

#include "helper/PipeWire.h"
#include "platform/codepage.h"
#include "platform/process.h"

std::vector<std::string> g_arrUsers;
std::vector<std::string> g_arrClients;
std::vector<std::string> g_arrUrls;

namespace {

using namespace pipewire;

// A registered process counts only while its executable is a client.
constexpr std::string_view kClientName = "Velmora";

// True when the text's first occurrence of the marker is at position 1 or later.
bool FirstAtOneOrLater(std::string_view text, std::string_view marker) {
  auto pos = text.find(marker);
  return pos != std::string_view::npos && pos >= 1;
}

std::string WithoutAll(std::string_view text, char c) {
  std::string out;
  out.reserve(text.size());
  for (char x : text)
    if (x != c) out.push_back(x);
  return out;
}

// The user a registration belongs to: its text before the first "&" (the
// whole text when it holds none).
std::string_view OwnerOf(std::string_view entry) { return entry.substr(0, entry.find(kRegistrationSeparator)); }

bool BelongsTo(std::string_view entry, std::string_view name) {
  return codepage::EqualsNoCase(OwnerOf(entry), name);
}

// Removes the last user entry that equals the name ignoring case.
void RemoveUser(std::string_view name) {
  for (auto it = g_arrUsers.rbegin(); it != g_arrUsers.rend(); ++it) {
    if (codepage::EqualsNoCase(*it, name)) {
      g_arrUsers.erase(std::next(it).base());
      return;
    }
  }
}

// Removes the user's last registration. Picking "the last entry that sorts at
// or after the name" removed other users' registrations (bob's for alice);
// only an entry that belongs to the user is removed.
void RemoveClient(std::string_view name) {
  for (auto it = g_arrClients.rbegin(); it != g_arrClients.rend(); ++it) {
    if (BelongsTo(*it, name)) {
      g_arrClients.erase(std::next(it).base());
      return;
    }
  }
}

// A code-page text as the body of a JSON string, walked by the code page's
// characters: a double-byte character is copied whole (its trail byte may
// be 0x5C, which is no backslash there), and only single-byte characters
// are escaped. A byte that starts no character of the code page becomes
// its default character "?": kept, it would join with the byte after it
// (a closing quotation mark, or the backslash of an escape) and break the
// reply for any reader that decodes the code page.
void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = codepage::CharLength(text.substr(i));
    if (len == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    if (len > 1) {
      out.append(text.substr(i, len));
      i += len;
      continue;
    }
    auto c = static_cast<unsigned char>(text[i++]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

}  // namespace

pid_t IsClientAlive(std::string_view entry) {
  // The process id: the leading digits after the first "&".
  auto amp = entry.find(kRegistrationSeparator);
  std::string_view rest = amp == std::string_view::npos ? entry : entry.substr(amp + 1);
  long long id = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), id);
  (void)end;
  // No digits, a sign or more digits than any process id can have: no process.
  if (ec != std::errc() || rest.empty() || rest[0] == '-' || id <= 0 || id > INT_MAX) return 0;
  auto pid = static_cast<pid_t>(id);
  // The process with that id, if it runs and its executable is a client.
  auto name = process::RunningName(pid);
  if (name && name->find(kClientName) != std::string::npos) return pid;
  return 0;
}

pid_t CheckUser(std::string_view name) {
  // A user that was never checked in has no client to look for.
  bool listed = false;
  for (const auto& u : g_arrUsers)
    if (codepage::EqualsNoCase(u, name)) listed = true;
  if (!listed) return 0;
  // The user's registrations, first to last. Matching every entry that
  // merely contained the name gave "bob" the process of "bobby"; only the
  // user's own registrations count.
  bool staleSeen = false;
  for (const auto& entry : g_arrClients) {
    if (!BelongsTo(entry, name)) continue;
    if (pid_t pid = IsClientAlive(entry); pid > 0) return pid;
    staleSeen = true;
  }
  // A client that ended without signing off: forget it and the user.
  if (staleSeen) {
    RemoveUser(name);
    RemoveClient(name);
  }
  return 0;
}

std::string BuildUserList() {
  // Names are escaped: a quotation mark or backslash in a name used to give
  // broken JSON. Plain names come out exactly as before.
  std::string out = "{\"userList\":[";
  for (std::size_t i = 0; i < g_arrUsers.size(); ++i) {
    if (i) out.push_back(',');
    AppendJsonString(out, g_arrUsers[i]);
  }
  out += "]}";
  return out;
}

std::string TakeUrl(std::string_view request) {
  // The key: the request before its first "+geturl".
  std::string_view key = request.substr(0, request.find(kGetUrl));
  // The first stored text whose own key (before "+seturl") matches.
  for (auto it = g_arrUrls.begin(); it != g_arrUrls.end(); ++it) {
    std::string_view entry = *it;
    if (codepage::EqualsNoCase(entry.substr(0, entry.find(kSetUrlKey)), key)) {
      std::string taken = std::move(*it);
      g_arrUrls.erase(it);
      return taken;
    }
  }
  // Nothing stored for this user.
  return {};
}

RequestOutcome HandleRequest(std::string_view request) {
  RequestOutcome out;
  // "name$": is a live client running for the user?
  if (FirstAtOneOrLater(request, kCheckUser)) {
    std::string name = WithoutAll(request, kCheckUser[0]);
    pid_t pid = CheckUser(name);
    if (pid == 0) g_arrUsers.push_back(name);
    out.reply = std::to_string(pid);
    return out;
  }
  // "name*": the user's client signs off.
  if (FirstAtOneOrLater(request, kSignOff)) {
    std::string name = WithoutAll(request, kSignOff[0]);
    RemoveUser(name);
    RemoveClient(name);
    return out;
  }
  // The list of checked users.
  if (codepage::EqualsNoCase(request, kAllUsers)) {
    out.reply = BuildUserList();
    return out;
  }
  // Stop. Only the request that is exactly "@": stopping on any text that
  // contained "@" let an e-mail address as user name, or an address with
  // credentials, end the service for every user.
  if (request == kStop) {
    out.reply = std::string(kStop);
    out.stop = true;
    return out;
  }
  // Store a hand-over address.
  if (FirstAtOneOrLater(request, kSetUrl)) {
    g_arrUrls.emplace_back(request);
    out.reply.push_back('1');  // (assigning "1" trips a false -Wrestrict in GCC 12)
    return out;
  }
  // Fetch a hand-over address.
  if (FirstAtOneOrLater(request, kGetUrl)) {
    out.reply = TakeUrl(request);
    return out;
  }
  // Anything else is kept as a client registration.
  g_arrClients.emplace_back(request);
  return out;
}

void ClearLists() {
  g_arrUsers.clear();
  g_arrClients.clear();
  g_arrUrls.clear();
}
