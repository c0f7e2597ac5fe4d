#include "client/UserDb.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/jsontext.h"

namespace velmora {

namespace {

// A member of an object; null when the value is no object or lacks it.
const Json::Value& Member(const Json::Value& object, const char* name) {
  static const Json::Value kNull;
  if (!object.isObject()) return kNull;
  const Json::Value* found = object.find(name, name + std::char_traits<char>::length(name));
  return found ? *found : kNull;
}

// A text member: empty when missing or not a string.
std::string TextMember(const Json::Value& object, const char* name) {
  const Json::Value& v = Member(object, name);
  return v.isString() ? v.asString() : std::string();
}

// A type number as the file stores it, read as an integer: 0 stays 0, any
// other value counts as 1. Missing or not a number: 0.
int TypeMember(const Json::Value& object, const char* name) {
  const Json::Value& v = Member(object, name);
  if (!v.isNumeric()) return 0;
  return std::trunc(v.asDouble()) != 0.0 ? 1 : 0;
}

// The names of one list, grouped by type, each group in the file's order.
struct Grouped {
  std::vector<std::string> type0, other;
};

Grouped GroupList(const Json::Value& root, const char* list, const char* nameKey, const char* typeKey) {
  Grouped g;
  const Json::Value& entries = Member(root, list);
  if (!entries.isArray()) return g;
  for (const Json::Value& entry : entries) {
    // An entry that is no object holds no user.
    if (!entry.isObject()) continue;
    (TypeMember(entry, typeKey) == 0 ? g.type0 : g.other).push_back(TextMember(entry, nameKey));
  }
  return g;
}

void AppendEscapeUnit(std::string& out, unsigned unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", unit);
  out += buf;
}

// Length of the UTF-8 sequence that starts with this byte (texts here come
// from the parser, so they are valid).
std::size_t SequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  return 4;
}

char32_t CodePoint(std::string_view s) {
  auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
  switch (s.size()) {
    case 1: return b(0);
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

// A UTF-8 text as a JSON string in the code page: quotation mark,
// backslash and control characters escaped; every other character in the
// code page's own bytes, or as a "\u" escape where the code page lacks it.
void AppendString(std::string& out, std::string_view utf8) {
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    std::size_t len = std::min(SequenceLength(c), utf8.size() - i);
    std::string_view ch = utf8.substr(i, len);
    i += len;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      static constexpr struct { unsigned char c; char e; } kShort[] = {
          {'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}};
      char e = 0;
      for (auto s : kShort) if (s.c == c) e = s.e;
      if (e) {
        out += '\\';
        out += e;
      } else {
        AppendEscapeUnit(out, c);
      }
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (auto ansi = codepage::Utf8ToAnsiExact(ch)) {
      out += *ansi;
    } else {
      char32_t cp = CodePoint(ch);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        AppendEscapeUnit(out, 0xD800 + (cp >> 10));
        AppendEscapeUnit(out, 0xDC00 + (cp & 0x3FF));
      } else {
        AppendEscapeUnit(out, cp);
      }
    }
  }
  out += '"';
}

void AppendUserArray(std::string& out, const Grouped& g, const char* nameKey, const char* typeKey) {
  out += '[';
  bool first = true;
  for (int type : {0, 1}) {
    for (const std::string& name : type == 0 ? g.type0 : g.other) {
      if (!first) out += ',';
      first = false;
      out += "{\"";
      out += nameKey;
      out += "\":";
      AppendString(out, name);
      out += ",\"";
      out += typeKey;
      out += "\":";
      out += static_cast<char>('0' + type);
      out += '}';
    }
  }
  out += ']';
}

}  // namespace

std::optional<std::string> RewriteUserDbText(std::string_view fileText, bool autoLogin) {
  // 1. The lines joined without separator: line breaks between tokens go.
  std::string joined;
  joined.reserve(fileText.size());
  for (std::size_t i = 0; i < fileText.size(); ++i) {
    if (fileText[i] == '\n') continue;
    if (fileText[i] == '\r' && i + 1 < fileText.size() && fileText[i + 1] == '\n') continue;
    joined += fileText[i];
  }
  // 2. The code page's text as UTF-8; a file not valid in the code page is
  // left alone rather than rewritten with replacement characters.
  std::optional<std::string> utf8 = codepage::AnsiToUtf8Exact(joined);
  if (!utf8) return std::nullopt;
  // 3. It must parse, as an object.
  Json::Value root;
  if (!jsontext::ParseJson(*utf8, &root) || !root.isObject()) return std::nullopt;
  // 4. The members the client knows.
  const Json::Value& recent = Member(root, "RecentKey");
  std::string recentUser = TextMember(recent, "RecentUser");
  std::string recentComUser = TextMember(recent, "RecentComUser");
  int recentType = TypeMember(recent, "RecentUserType");
  std::string autoLoginUser = TextMember(Member(root, "AutoLoginKey"), "AutoLogin");
  // 5. Both lists, grouped by type.
  Grouped users = GroupList(root, "UserList", "UserName", "UserType");
  Grouped secrets = GroupList(root, "RecSecretList", "RecSecretUser", "RecSecretType");
  // 6. One line of compact JSON, members in their fixed order.
  char digit = static_cast<char>('0' + recentType);
  std::string out = "{\"RecentKey\":{\"RecentUser\":";
  AppendString(out, recentUser);
  out += ",\"RecentComUser\":";
  AppendString(out, recentComUser);
  out += ",\"RecentUserType\":";
  out += digit;
  out += "},\"AutoLoginKey\":{\"AutoLogin\":";
  AppendString(out, autoLoginUser);
  out += ",\"AutoLoginKey\":";
  out += digit;
  out += "},\"IsAuto\":";
  out += autoLogin ? '1' : '0';
  out += ",\"UserList\":";
  AppendUserArray(out, users, "UserName", "UserType");
  out += ",\"RecSecretList\":";
  AppendUserArray(out, secrets, "RecSecretUser", "RecSecretType");
  out += '}';
  return out;
}

bool RewriteUserDbFile(const std::string& path, bool autoLogin) {
  return files::RewriteLocked(path, [autoLogin](std::string_view text) {
           return RewriteUserDbText(text, autoLogin);
         }) == files::RewriteResult::Rewritten;
}

}  // namespace velmora
