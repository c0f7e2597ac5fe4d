#include "platform/jsontext.h"

namespace jsontext {

bool ParseJson(std::string_view text, Json::Value* out) {
  Json::Value value;
  Json::Reader reader(Json::Features::all());  // comments allowed
  try {
    if (!reader.parse(text.data(), text.data() + text.size(), value, false)) return false;
  } catch (const std::exception&) {
    return false;
  }
  if (out) *out = std::move(value);
  return true;
}

}  // namespace jsontext
