// JSON texts of the pages and files: parsed with jsoncpp, comments
// allowed, never throwing. Shared by the control and the client.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

namespace jsontext {

// True when the text parses; the value is then in *out (when given).
bool ParseJson(std::string_view text, Json::Value* out = nullptr);

// True when the text parses as JSON (no length rule, no error report).
inline bool IsJson(std::string_view text) { return ParseJson(text); }

// A JSON value as text: texts as they are, numbers and booleans in their
// text form, anything else (missing, null, lists, objects) empty.
inline std::string TextOf(const Json::Value& v) {
  if (v.isString() || v.isNumeric() || v.isBool()) return v.asString();
  return {};
}

}  // namespace jsontext
