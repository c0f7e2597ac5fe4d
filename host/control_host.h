// Creating controls for a page: finding a registered control by ProgID or
// class id, loading its module once per process, and creating, siting,
// initialising and activating an instance the way a container does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dom.h"
#include "engine/view.h"
#include "platform/com.h"

namespace host {

// Where a registered control lives.
struct Registration {
  com::CLSID clsid;
  std::string module;  // absolute path of its module
};

// Looks a ProgID up in the registry; nullopt with *error set when it is not
// a registered control.
std::optional<Registration> FindByProgId(std::string_view progId, std::string* error);
std::optional<Registration> FindByClassId(const com::CLSID& clsid, std::string* error);

// The text the page sees when its origin may not use a control.
inline constexpr char kRefusedText[] = "the control may not be used by this page";

// The <param> elements of an <object>, by name (any case).
using Params = std::vector<std::pair<std::string, std::string>>;

// A control sited in a page. Destroy() unsites, closes and releases it;
// while a script call is in progress the destruction waits for its end.
class HostedControl {
 public:
  ~HostedControl();

  // Creates the control for a page whose browser is `browser`. With
  // `params` (an <object>), the control is initialised from them and sized;
  // `area` is the element's area, where the control may show its browser
  // (null for a control made by script). Returns null with *error set (for
  // the page to see) on any failure.
  static std::unique_ptr<HostedControl> Create(const Registration& registration,
                                               com::ComPtr<engine::Browser> browser,
                                               const Params* params, int width, int height,
                                               std::string* error,
                                               com::ComPtr<engine::ViewBox> area = nullptr);

  // The script interface; null once destroyed.
  com::IDispatch* dispatch() const { return dispatch_.Get(); }
  bool alive() const { return static_cast<bool>(dispatch_); }

  void SetExtent(int width, int height);
  // Calls a method; brackets the call so that a destruction asked for
  // meanwhile (the page navigated from inside the call) happens afterwards.
  com::HRESULT Call(com::DISPID id, const com::DispParams& args, com::Variant* result);
  void Destroy();

 private:
  HostedControl() = default;
  com::ComPtr<com::IDispatch> dispatch_;
  com::ComPtr<com::IOleObject> ole_;
  int callDepth_ = 0;
  bool destroyPending_ = false;
  int width_ = -1, height_ = -1;
};

// A clear text for a failed Invoke of `method`.
std::string InvokeErrorText(std::string_view method, com::HRESULT hr);

}  // namespace host
