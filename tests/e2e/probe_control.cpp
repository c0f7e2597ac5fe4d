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
//   Exercise()                      -> one line per engine operation tried on
//                                      the page (see exercise.html)
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

class Probe final
    : public com::RefCounted<com::IDispatch, com::IObjectSafety, com::IOleObject, com::IPersistPropertyBag> {
 public:
  Probe() { ++g_objects; }
  ~Probe() override {
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
    if ((id >= 1 && id <= 3) || id == 6) {
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
      case 6:
        *result = Exercise(doc.Get());
        return com::S_OK;
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
  // Runs the engine's operations on the page's document, one line each.
  std::string Exercise(engine::Document* doc) {
    std::string out;
    auto line = [&](const std::string& name, const std::string& value) { out += name + ": " + value + "\n"; };
    auto hr = [](com::HRESULT h) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(h));
      return std::string(buf);
    };
    std::string text;
    std::int32_t n = -1;
    // The browser and the document.
    browser_->get_ReadyState(&n);
    line("browser ready state", std::to_string(n));
    doc->get_readyState(&text);
    line("document ready state", text);
    doc->get_charset(&text);
    line("charset", text);
    doc->get_URL(&text);
    line("address ends with", text.substr(text.rfind('/') + 1));
    // Forms, form controls and inputs.
    com::ComPtr<engine::ElementCollection> forms;
    doc->get_forms(forms.Put());
    forms->get_length(&n);
    line("forms", std::to_string(n));
    com::ComPtr<com::IUnknown> item;
    forms->item(std::string("login"), std::int32_t{0}, item.Put());
    auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form);
    form->get_name(&text);
    form->get_length(&n);
    line("form by name", text + " with " + std::to_string(n) + " controls");
    form->item(std::string("user"), std::int32_t{0}, item.Put());
    auto input = engine::Query<engine::Input>(item.Get(), engine::IID_Input);
    std::string type, before, after;
    input->get_type(&type);
    input->get_value(&before);
    input->put_value("\xE6\x96\xB0");
    input->get_value(&after);
    line("input", type + " " + before + " -> " + after);
    form->item(std::string("pick"), std::int32_t{1}, item.Put());
    engine::Query<engine::Input>(item.Get(), engine::IID_Input)->get_value(&text);
    line("second control named pick", text);
    form->put_action("/elsewhere");
    form->get_action(&text);
    line("action", text.substr(text.rfind('/')));
    form->item(std::string("notes"), std::int32_t{0}, item.Put());
    line("textarea is an input", engine::Query<engine::Input>(item.Get(), engine::IID_Input) ? "yes" : "no");
    auto notes = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
    com::Variant v;
    notes->GetProperty("value", &v);
    line("textarea value", com::VariantToText(v));
    line("missing property", hr(notes->GetProperty("noSuchProperty", &v)));
    forms->item(std::int32_t{1}, std::int32_t{0}, item.Put());
    engine::Query<engine::Form>(item.Get(), engine::IID_Form)->get_name(&text);
    line("form by position", text);
    forms->item(std::string("nosuch"), std::int32_t{0}, item.Put());
    line("form that is not there", item ? "found" : "none");
    form->item(std::string(""), std::int32_t{0}, item.Put());
    line("field with an empty name", item ? "found" : "none");
    // Links and anchors.
    com::ComPtr<engine::ElementCollection> links;
    doc->get_links(links.Put());
    links->get_length(&n);
    links->item(std::int32_t{0}, std::int32_t{0}, item.Put());
    auto anchor = engine::Query<engine::Anchor>(item.Get(), engine::IID_Anchor);
    std::string href, target;
    anchor->get_href(&href);
    anchor->get_target(&target);
    line("links", std::to_string(n) + ", first " + href.substr(href.rfind('/') + 1) + " target " + target);
    // Body, markup and clicks.
    com::ComPtr<engine::Element> body;
    doc->get_body(body.Put());
    body->insertAdjacentHTML("beforeEnd", "<p id=\"added\">added text</p>");
    com::ComPtr<engine::ElementCollection> all;
    doc->get_all(all.Put());
    all->item(std::string("added"), std::int32_t{0}, item.Put());
    auto added = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
    added->get_innerText(&text);
    std::string tag;
    added->get_tagName(&tag);
    line("inserted", tag + " " + text);
    all->item(std::string("button"), std::int32_t{0}, item.Put());
    engine::Query<engine::Element>(item.Get(), engine::IID_Element)->click();
    // Script in the window.
    com::ComPtr<engine::Window> window;
    doc->get_parentWindow(window.Put());
    window->execScript("document.title", "javascript", &v);
    line("title after click", com::VariantToText(v));
    window->execScript("6*7", "JavaScript", &v);
    line("execScript", com::VariantToText(v));
    line("other language", hr(window->execScript("1", "VBScript", &v)));
    line("script error", hr(window->execScript("throw new Error('x')", "JavaScript", &v)));
    // Cookies.
    doc->put_cookie("probe=1");
    doc->get_cookie(&text);
    line("cookie", text);
    // Frames.
    com::ComPtr<engine::FramesCollection> frames;
    doc->get_frames(frames.Put());
    frames->get_length(&n);
    line("frames", std::to_string(n));
    line("frame out of range", hr(frames->item(5, item.Put())));
    frames->item(0, item.Put());
    auto frameWindow = engine::Query<engine::Window>(item.Get(), engine::IID_Window);
    com::ComPtr<engine::Document> frameDoc;
    frameWindow->get_document(frameDoc.Put());
    frameDoc->get_URL(&text);
    line("frame document", text.substr(text.rfind('/') + 1));
    frameWindow->execScript("window.marked = 'in the frame'; document.title", "JavaScript", &v);
    line("frame execScript", com::VariantToText(v));
    // The source, in the page's own charset.
    std::vector<std::uint8_t> source;
    doc->Save(&source);
    std::string bytes(source.begin(), source.end());
    const std::string gbk = "\xD6\xD0\xCE\xC4";  // "中文" in GBK
    line("source", std::string(bytes.rfind("<!DOCTYPE html>", 0) == 0 ? "doctype first" : "no doctype") +
                       (bytes.find(gbk) != std::string::npos ? ", GBK text kept" : ", GBK text lost"));
    return out;
  }

  static constexpr const char* kMethods[] = {"CallScript", "CloseEvents", "SetLinkTarget", "Extent", "Param",
                                             "Exercise"};
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
