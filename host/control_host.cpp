#include "host/control_host.h"

#include <cstdio>
#include <map>
#include <memory>

#include "platform/codepage.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace host {

namespace {

using DllGetClassObjectFn = com::HRESULT (*)(const com::CLSID&, const com::IID&, void**);

// Modules stay loaded for the life of the process: objects they made may
// outlive any one page.
struct LoadedModule {
  module::Module module;
  DllGetClassObjectFn getClassObject = nullptr;
};

std::map<std::string, LoadedModule>& Modules() {
  static auto* modules = new std::map<std::string, LoadedModule>();
  return *modules;
}

const LoadedModule* Load(const std::string& path, std::string* error) {
  auto& modules = Modules();
  if (auto it = modules.find(path); it != modules.end()) return &it->second;
  std::string why;
  module::Module loaded = module::Module::Load(path, &why);
  if (!loaded.valid()) {
    *error = "cannot load the control's module " + path + (why.empty() ? "" : ": " + why);
    return nullptr;
  }
  auto fn = loaded.Function<DllGetClassObjectFn>("DllGetClassObject");
  if (!fn) {
    *error = path + " is not a control module";
    return nullptr;
  }
  loaded.Keep();
  return &(modules[path] = LoadedModule{std::move(loaded), fn});
}

// The container's side of one control: it hands out the page's browser
// and, for an element, the element's area.
class ClientSite final : public com::RefCounted<com::IOleClientSite, com::IServiceProvider> {
 public:
  ClientSite(com::ComPtr<engine::Browser> browser, com::ComPtr<engine::ViewBox> area)
      : browser_(std::move(browser)), area_(std::move(area)) {}

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IOleClientSite) return Give<com::IOleClientSite>(this, out);
    if (iid == com::IID_IServiceProvider) return Give<com::IServiceProvider>(this, out);
    return NoInterface(out);
  }
  com::HRESULT QueryService(const com::GUID& service, const com::IID& iid, void** out) override {
    *out = nullptr;
    // The page is shown in a top-level browser of ours...
    if (service == com::SID_STopLevelBrowser && iid == com::IID_IServiceProvider)
      return QueryInterface(com::IID_IServiceProvider, out);
    // ...whose web browser is the page's own.
    if (service == com::SID_SWebBrowserApp && (iid == com::IID_IWebBrowser2 || iid == com::IID_IWebBrowserApp)) {
      if (!browser_) return com::E_NOINTERFACE;
      *out = com::ComPtr<engine::Browser>(browser_).Detach();
      return com::S_OK;
    }
    if (service == engine::SID_ViewBox && iid == engine::IID_ViewBox && area_) {
      *out = com::ComPtr<engine::ViewBox>(area_).Detach();
      return com::S_OK;
    }
    return com::E_NOINTERFACE;
  }

 private:
  com::ComPtr<engine::Browser> browser_;
  com::ComPtr<engine::ViewBox> area_;
};

// The <param>s of an <object>, read by name in any case.
class ParamBag final : public com::RefCounted<com::IPropertyBag> {
 public:
  explicit ParamBag(Params params) : params_(std::move(params)) {}
  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IPropertyBag) return Give<com::IPropertyBag>(this, out);
    return NoInterface(out);
  }
  com::HRESULT Read(std::string_view name, com::Variant* value) override {
    for (const auto& [n, v] : params_)
      if (codepage::EqualsNoCase(n, name)) {
        *value = v;
        return com::S_OK;
      }
    return com::E_INVALIDARG;
  }
  com::HRESULT Write(std::string_view, const com::Variant&) override { return com::E_NOTIMPL; }

 private:
  Params params_;
};

template <typename T>
com::ComPtr<T> Ask(com::IUnknown* object, const com::IID& iid) {
  return engine::Query<T>(object, iid);
}

std::string Hex(com::HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

std::optional<Registration> FindByClassId(const com::CLSID& clsid, std::string* error) {
  std::string id = com::GuidToString(clsid);
  auto path = registry::GetValue("HKEY_CLASSES_ROOT\\CLSID\\" + id + "\\InprocServer32");
  if (!path || path->empty()) {
    *error = "no control with class id " + id + " is registered";
    return std::nullopt;
  }
  return Registration{clsid, *path};
}

std::optional<Registration> FindByProgId(std::string_view progId, std::string* error) {
  // A name that could reach other keys is no ProgID.
  if (progId.empty() || progId.find('\\') != std::string_view::npos ||
      progId.find('/') != std::string_view::npos || progId == "." || progId == "..") {
    *error = "'" + std::string(progId) + "' is not a ProgID";
    return std::nullopt;
  }
  auto clsidText = registry::GetValue("HKEY_CLASSES_ROOT\\" + std::string(progId) + "\\CLSID");
  if (!clsidText) {
    *error = "no control named '" + std::string(progId) + "' is registered";
    return std::nullopt;
  }
  auto clsid = com::GuidFromString(*clsidText);
  if (!clsid) {
    *error = "the registration of '" + std::string(progId) + "' is broken";
    return std::nullopt;
  }
  return FindByClassId(*clsid, error);
}

std::unique_ptr<HostedControl> HostedControl::Create(const Registration& registration,
                                                     com::ComPtr<engine::Browser> browser,
                                                     const Params* params, int width, int height,
                                                     std::string* error, com::ComPtr<engine::ViewBox> area) {
  const LoadedModule* module = Load(registration.module, error);
  if (!module) return nullptr;
  com::ComPtr<com::IClassFactory> factory;
  if (com::Failed(module->getClassObject(registration.clsid, com::IID_IClassFactory, factory.PutVoid())) ||
      !factory) {
    *error = registration.module + " does not make the class " + com::GuidToString(registration.clsid);
    return nullptr;
  }
  std::unique_ptr<HostedControl> control(new HostedControl);
  // The instance, as a script object.
  if (com::Failed(factory->CreateInstance(nullptr, com::IID_IDispatch, control->dispatch_.PutVoid())) ||
      !control->dispatch_) {
    control->dispatch_.Reset();
    *error = "the control could not be created";
    return nullptr;
  }
  // It must be safe for scripting by the page (and for the page's data).
  auto safety = Ask<com::IObjectSafety>(control->dispatch_.Get(), com::IID_IObjectSafety);
  bool withParams = params && !params->empty();
  if (!safety ||
      com::Failed(safety->SetInterfaceSafetyOptions(com::IID_IDispatch, com::INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                    com::INTERFACESAFE_FOR_UNTRUSTED_CALLER))) {
    *error = "the control is not safe for scripting";
    return nullptr;
  }
  if (withParams &&
      com::Failed(safety->SetInterfaceSafetyOptions(com::IID_IPersistPropertyBag,
                                                    com::INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                    com::INTERFACESAFE_FOR_UNTRUSTED_DATA))) {
    *error = "the control is not safe for initialising from the page's parameters";
    return nullptr;
  }
  // Site it in the page; it may refuse the page.
  control->ole_ = Ask<com::IOleObject>(control->dispatch_.Get(), com::IID_IOleObject);
  if (control->ole_) {
    auto site = com::MakeRef<ClientSite>(std::move(browser), std::move(area));
    com::HRESULT hr = control->ole_->SetClientSite(site.Get());
    if (com::Failed(hr)) {
      control->ole_->Close();
      control->ole_.Reset();
      control->dispatch_.Reset();
      *error = hr == com::E_ACCESSDENIED ? kRefusedText : "the control refused its site (" + Hex(hr) + ")";
      return nullptr;
    }
  }
  // Its properties: the page's parameters, or fresh ones.
  if (auto persist = Ask<com::IPersistPropertyBag>(control->dispatch_.Get(), com::IID_IPersistPropertyBag)) {
    if (withParams) {
      auto bag = com::MakeRef<ParamBag>(*params);
      persist->Load(bag.Get());
    } else {
      persist->InitNew();
    }
  }
  // Activate it in place (its window, on this thread), then size it.
  if (control->ole_) {
    control->ole_->DoVerb(com::OLEIVERB_INPLACEACTIVATE);
    if (params) control->SetExtent(width, height);
  }
  return control;
}

HostedControl::~HostedControl() { Destroy(); }

void HostedControl::SetExtent(int width, int height) {
  if (!ole_ || width < 0 || height < 0 || (width == width_ && height == height_)) return;
  width_ = width;
  height_ = height;
  ole_->SetExtent(width, height);
}

com::HRESULT HostedControl::Call(com::DISPID id, const com::DispParams& args, com::Variant* result) {
  if (!dispatch_) return com::E_UNEXPECTED;
  com::ComPtr<com::IDispatch> keep = dispatch_;
  ++callDepth_;
  com::HRESULT hr = keep->Invoke(id, args, result);
  --callDepth_;
  if (callDepth_ == 0 && destroyPending_) Destroy();
  return hr;
}

void HostedControl::Destroy() {
  if (callDepth_ > 0) {
    destroyPending_ = true;
    return;
  }
  destroyPending_ = false;
  if (ole_) {
    ole_->SetClientSite(nullptr);
    ole_->Close();
    ole_.Reset();
  }
  dispatch_.Reset();
}

std::string InvokeErrorText(std::string_view method, com::HRESULT hr) {
  std::string what;
  switch (hr) {
    case com::DISP_E_TYPEMISMATCH:
      what = "an argument has the wrong type";
      break;
    case com::DISP_E_BADPARAMCOUNT:
      what = "wrong number of arguments";
      break;
    case com::DISP_E_MEMBERNOTFOUND:
    case com::DISP_E_UNKNOWNNAME:
      what = "the control has no such method";
      break;
    case com::DISP_E_EXCEPTION:
      what = "the method failed";
      break;
    case com::E_UNEXPECTED:
      what = "the control is gone (its page was left)";
      break;
    default:
      what = "the call failed (" + Hex(hr) + ")";
  }
  return std::string(method) + ": " + what;
}

}  // namespace host
