// A handle to an object that lives in the browser (a document, an element,
// a collection): released in the browser when the handle goes. Calls on
// it run a function with the object as `this`.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <string_view>

#include "engine/cdp/BrowserProcess.h"
#include "engine/dom.h"

namespace cdp {

// A main-world script context of a frame: ids repeat across sessions, so
// both name it.
struct Context {
  std::string session;
  int id = 0;
};

class RemoteHandle {
 public:
  RemoteHandle(std::shared_ptr<BrowserProcess> process, int generation, std::string session, std::string objectId);
  // The document of a context, reached through the context itself: no
  // object is fetched or released for it, and calls on it fail (E_GONE)
  // once the context has gone with its document.
  static std::unique_ptr<RemoteHandle> DocumentOf(std::shared_ptr<BrowserProcess> process, int generation,
                                                  const Context& context);
  ~RemoteHandle();
  RemoteHandle(const RemoteHandle&) = delete;
  RemoteHandle& operator=(const RemoteHandle&) = delete;

  // Another object of the same session and generation.
  std::unique_ptr<RemoteHandle> Sibling(std::string objectId) const {
    return std::make_unique<RemoteHandle>(process_, generation_, session_, std::move(objectId));
  }

  const std::string& objectId() const { return objectId_; }
  const std::string& session() const { return session_; }
  int generation() const { return generation_; }
  BrowserProcess& process() const { return *process_; }

  // Calls a function with this object as `this`. With `byValue` the result
  // comes as a value in `value`, else as a new object id in `objectId`
  // (empty for null or undefined). E_GONE when the object went,
  // DISP_E_EXCEPTION when the function threw.
  com::HRESULT CallOn(std::string_view function, const Json::Value& args, bool byValue, Json::Value* value,
                      std::string* objectId = nullptr) const;
  // The function's result as text (empty unless it gave a text).
  com::HRESULT TextOf(std::string_view function, std::string* out,
                      const Json::Value& args = Json::Value(Json::arrayValue)) const;
  // The function for its effect only.
  com::HRESULT Effect(std::string_view function, const Json::Value& args = Json::Value(Json::arrayValue)) const {
    return CallOn(function, args, true, nullptr);
  }

 private:
  std::shared_ptr<BrowserProcess> process_;
  int generation_;
  std::string session_;
  std::string objectId_;
  int contextId_ = 0;  // with no object id: the document of this context
};

// A value the page gave back by value, as a variant.
com::Variant ToVariant(const Json::Value& remote);

// The arguments of a one-argument call.
Json::Value Args(const Json::Value& value);

}  // namespace cdp
