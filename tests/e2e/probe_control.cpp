// A test-only control module ("Velmora.AutomationProbe.1"): it follows the
// same contract as the real control (class factory, object safety, siting,
// property bag, activation, extent) and exposes to the page the automation
// operations that the real control applies only to its own browser, so the
// end-to-end tests can run them on a real hosted page:
//   CallScript(name, argumentJson)  -> nScriptStatus of enumIE::callScript
//   CloseEvents(extra)              -> enumIE::closeEvents on the page
//   SetLinkTarget(target)           -> nEditStatus of enumIE::setLinkTarget
//   Extent()                        -> "WIDTHxHEIGHT" last set by the container
//   Param(name)                     -> the value read from the property bag
// Each step of its life is appended to $VELMORA_PROBE_LOG, one line each.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "control/automation/enumIE.h"
#include "platform/codepage.h"

namespace {

// {0C7E55A1-9D3B-4B8E-8F0A-5B7E2D1C0A01}
constexpr com::CLSID kProbeClsid{0x0C7E55A1, 0x9D3B, 0x4B8E, {0x8F, 0x0A, 0x5B, 0x7E, 0x2D, 0x1C, 0x0A, 0x01}};

void Trace(const std::string& line) {
  const char* path = std::getenv("VELMORA_PROBE_LOG");
  if (!path || !*path) return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t n = ::write(fd, text.data(), text.size());
  (void)n;
  ::close(fd);
}

int g_objects = 0;

class Probe final : public com::IDispatch,
                    public com::IObjectSafety,
                    public com::IOleObject,
                    public com::IPersistPropertyBag {
 public:
  Probe() { ++g_objects; }
  ~Probe() {
    --g_objects;
    Trace("released");
  }

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch) {
      *out = static_cast<com::IDispatch*>(this);
    } else if (iid == com::IID_IObjectSafety) {
      *out = static_cast<com::IObjectSafety*>(this);
    } else if (iid == com::IID_IOleObject) {
      *out = static_cast<com::IOleObject*>(this);
    } else if (iid == com::IID_IPersistPropertyBag) {
      *out = static_cast<com::IPersistPropertyBag*>(this);
    } else {
      *out = nullptr;
      return com::E_NOINTERFACE;
    }
    AddRef();
    return com::S_OK;
  }
  com::ULONG AddRef() override { return refs_.Add(); }
  com::ULONG Release() override {
    com::ULONG n = refs_.Sub();
    if (n == 0) delete this;
    return n;
  }

  // IDispatch
  com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    for (std::size_t i = 0; i < std::size(kMethods); ++i)
      if (codepage::EqualsNoCase(name, kMethods[i])) {
        *id = static_cast<com::DISPID>(i + 1);
        return com::S_OK;
      }
    return com::DISP_E_UNKNOWNNAME;
  }
  com::HRESULT Invoke(com::DISPID id, const com::DispParams& args, com::Variant* result) override {
    auto text = [&](std::size_t i) {
      return i < args.size() ? codepage::Utf8ToAnsi(com::VariantToText(args[i])) : std::string();
    };
    com::ComPtr<engine::Document> doc;
    if (id >= 1 && id <= 3) {
      if (!browser_ || com::Failed(browser_->get_Document(doc.Put())) || !doc) {
        *result = std::int32_t{1};
        return com::S_OK;
      }
    }
    enumIE worker;
    switch (id) {
      case 1:
        worker.callScript(text(0), GetParamValue(text(1)), doc.Get());
        *result = worker.nScriptStatus;
        return com::S_OK;
      case 2:
        worker.closeEvents(text(0), doc.Get());
        *result = std::int32_t{0};
        return com::S_OK;
      case 3:
        worker.setLinkTarget(text(0), doc.Get());
        *result = worker.nEditStatus;
        return com::S_OK;
      case 4:
        *result = std::to_string(width_) + "x" + std::to_string(height_);
        return com::S_OK;
      case 5: {
        auto it = params_.find(text(0));
        *result = it == params_.end() ? com::Variant(com::Null{}) : com::Variant(it->second);
        return com::S_OK;
      }
      default:
        return com::DISP_E_MEMBERNOTFOUND;
    }
  }

  // IObjectSafety: safe for scripting and for the page's data.
  com::HRESULT GetInterfaceSafetyOptions(const com::IID&, com::DWORD* supported, com::DWORD* enabled) override {
    *supported = 3;
    *enabled = 3;
    return com::S_OK;
  }
  com::HRESULT SetInterfaceSafetyOptions(const com::IID&, com::DWORD, com::DWORD) override { return com::S_OK; }

  // IOleObject
  com::HRESULT SetClientSite(com::IOleClientSite* site) override {
    browser_.Reset();
    if (!site) {
      Trace("unsited");
      return com::S_OK;
    }
    auto services = engine::Query<com::IServiceProvider>(site, com::IID_IServiceProvider);
    com::ComPtr<com::IServiceProvider> top;
    if (services &&
        com::Succeeded(services->QueryService(com::SID_STopLevelBrowser, com::IID_IServiceProvider, top.PutVoid())))
      services->QueryService(com::SID_SWebBrowserApp, com::IID_IWebBrowser2, browser_.PutVoid());
    std::string url;
    if (browser_) browser_->get_LocationURL(&url);
    Trace("sited " + url);
    return com::S_OK;
  }
  com::HRESULT DoVerb(std::int32_t verb) override {
    Trace("verb " + std::to_string(verb));
    return com::S_OK;
  }
  com::HRESULT SetExtent(int width, int height) override {
    width_ = width;
    height_ = height;
    return com::S_OK;
  }
  com::HRESULT Close() override {
    Trace("closed");
    return com::S_OK;
  }

  // IPersistPropertyBag: keeps the parameters it is asked about.
  com::HRESULT InitNew() override {
    Trace("init new");
    return com::S_OK;
  }
  com::HRESULT Load(com::IPropertyBag* bag) override {
    for (const char* name : {"FisByUser", "Greeting"}) {
      com::Variant v;
      if (com::Succeeded(bag->Read(name, &v))) params_[name] = com::VariantToText(v);
    }
    Trace("loaded " + std::to_string(params_.size()));
    return com::S_OK;
  }
  com::HRESULT Save(com::IPropertyBag*) override { return com::E_NOTIMPL; }

 private:
  static constexpr const char* kMethods[] = {"CallScript", "CloseEvents", "SetLinkTarget", "Extent", "Param"};
  com::RefCount refs_;
  com::ComPtr<engine::Browser> browser_;
  std::map<std::string, std::string> params_;
  int width_ = -1, height_ = -1;
};

class Factory final : public com::IClassFactory {
 public:
  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IClassFactory) {
      *out = static_cast<com::IClassFactory*>(this);
      return com::S_OK;
    }
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return 2; }
  com::ULONG Release() override { return 1; }
  com::HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (outer) return com::CLASS_E_NOAGGREGATION;
    auto* probe = new Probe;
    com::HRESULT hr = probe->QueryInterface(iid, out);
    probe->Release();
    return hr;
  }
  com::HRESULT LockServer(bool) override { return com::S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) com::HRESULT DllGetClassObject(const com::CLSID& clsid,
                                                                                  const com::IID& iid,
                                                                                  void** out) {
  *out = nullptr;
  if (clsid != kProbeClsid) return com::CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" __attribute__((visibility("default"))) com::HRESULT DllCanUnloadNow() {
  return g_objects == 0 ? com::S_OK : com::S_FALSE;
}
