// JSON texts of the pages: parsed with comments allowed, never throwing.
#pragma once

#include <json/json.h>

#include <string_view>

namespace wendex {

// True when the text parses; the value is then in *out (when given).
bool ParseJson(std::string_view text, Json::Value* out = nullptr);

// True when the text parses as JSON (no length rule, no error report).
inline bool IsJson(std::string_view text) { return ParseJson(text); }

}  // namespace wendex
