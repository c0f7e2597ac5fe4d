#include "engine/cdp/RemoteHandle.h"

#include <cmath>

namespace cdp {

RemoteHandle::RemoteHandle(std::shared_ptr<BrowserProcess> process, int generation, std::string session,
                           std::string objectId)
    : process_(std::move(process)), generation_(generation), session_(std::move(session)),
      objectId_(std::move(objectId)) {}

std::unique_ptr<RemoteHandle> RemoteHandle::DocumentOf(std::shared_ptr<BrowserProcess> process, int generation,
                                                       const Context& context) {
  auto handle = std::make_unique<RemoteHandle>(std::move(process), generation, context.session, std::string());
  handle->contextId_ = context.id;
  return handle;
}

RemoteHandle::~RemoteHandle() {
  if (!objectId_.empty()) process_->Send(generation_, protocol::ReleaseObject(objectId_), session_);
}

com::HRESULT RemoteHandle::CallOn(std::string_view function, const Json::Value& args, bool byValue,
                                  Json::Value* value, std::string* objectId) const {
  // A context's document is `this` of a function called in that context.
  const protocol::Command command =
      objectId_.empty() && contextId_ != 0
          ? protocol::CallFunctionOnDocument(contextId_, function, args, byValue)
          : protocol::CallFunctionOn(objectId_, function, args, byValue);
  const protocol::ScriptResult r = protocol::ReadScriptResult(process_->Call(generation_, command, session_));
  if (r.outcome == protocol::ScriptResult::Gone) return engine::E_GONE;
  if (r.outcome == protocol::ScriptResult::Threw) return com::DISP_E_EXCEPTION;
  if (value) *value = r.remote;
  if (objectId) *objectId = r.objectId();
  return com::S_OK;
}

com::HRESULT RemoteHandle::TextOf(std::string_view function, std::string* out, const Json::Value& args) const {
  Json::Value v;
  com::HRESULT hr = CallOn(function, args, true, &v);
  if (com::Failed(hr)) return hr;
  *out = v["value"].isString() ? v["value"].asString() : std::string();
  return com::S_OK;
}

com::Variant ToVariant(const Json::Value& remote) {
  const std::string type = remote["type"].asString();
  const Json::Value& v = remote["value"];
  if (type == "string") return v.asString();
  if (type == "boolean") return v.asBool();
  if (type == "number") {
    if (!v.isNumeric()) return std::string(remote["unserializableValue"].asString());
    double d = v.asDouble();
    if (std::floor(d) == d && d >= -2147483648.0 && d <= 2147483647.0) return static_cast<std::int32_t>(d);
    return d;
  }
  if (type == "object" && remote["subtype"].asString() == "null") return com::Null{};
  if (type == "undefined") return std::monostate{};
  if (v.isString()) return v.asString();
  return std::monostate{};
}

Json::Value Args(const Json::Value& value) {
  Json::Value args(Json::arrayValue);
  args.append(value);
  return args;
}

}  // namespace cdp
