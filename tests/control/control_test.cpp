#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "control/WendexApp.h"
#include "control/WendexCtrl.h"
#include "control/WendexDispatch.h"
#include "control/WendexIds.h"

namespace {

using com::ComPtr;

ComPtr<CWendexCtrl> NewControl() {
  ComPtr<com::IDispatch> disp;
  EXPECT_EQ(DllGetClassObject(wendex::CLSID_WendexCtrl, com::IID_IClassFactory, nullptr), com::E_POINTER);
  ComPtr<com::IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(wendex::CLSID_WendexCtrl, com::IID_IClassFactory, factory.PutVoid()), com::S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, com::IID_IDispatch, disp.PutVoid()), com::S_OK);
  return ComPtr<CWendexCtrl>::Adopt(static_cast<CWendexCtrl*>(disp.Detach()));
}

template <typename I>
ComPtr<I> Query(com::IUnknown* from, const com::IID& iid) {
  ComPtr<I> out;
  from->QueryInterface(iid, out.PutVoid());
  return out;
}

TEST(ObjectSafetyTest, GetOptions) {
  auto ctrl = NewControl();
  auto safety = Query<com::IObjectSafety>(static_cast<com::IDispatch*>(ctrl.Get()), com::IID_IObjectSafety);
  ASSERT_TRUE(safety);
  struct Case {
    const com::IID* iid;
    com::HRESULT hr;
    com::DWORD enabled;
  } cases[] = {
      {&com::IID_IDispatch, com::S_OK, 1},
      {&com::IID_IPersistStreamInit, com::S_OK, 2},
      {&com::IID_IPersistPropertyBag, com::S_OK, 2},
      {&com::IID_IPersistMemory, com::S_OK, 2},
      {&com::IID_IPersistStorage, com::E_NOINTERFACE, 0},  // not exposed
      {&com::IID_IOleObject, com::E_NOINTERFACE, 0},       // exposed, not accounted for
      {&com::IID_IWebBrowser2, com::E_NOINTERFACE, 0},     // not exposed
  };
  for (const auto& c : cases) {
    com::DWORD supported = 99, enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(*c.iid, &supported, &enabled), c.hr) << com::GuidToString(*c.iid);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, c.enabled);
  }
  com::DWORD d = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(com::IID_IDispatch, nullptr, &d), com::E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(com::IID_IDispatch, &d, nullptr), com::E_POINTER);
}

TEST(ObjectSafetyTest, SetOptions) {
  auto ctrl = NewControl();
  auto safety = Query<com::IObjectSafety>(static_cast<com::IDispatch*>(ctrl.Get()), com::IID_IObjectSafety);
  struct Case {
    const com::IID* iid;
    com::DWORD mask, enabled;
    com::HRESULT hr;
  } cases[] = {
      {&com::IID_IWebBrowser2, 0, 0, com::S_OK},  // mask 0, enabled 0: fine for anything
      {&com::IID_IWebBrowser2, 1, 1, com::E_FAIL},
      {&com::IID_IDispatch, 1, 1, com::S_OK},
      {&com::IID_IDispatch, 1, 0, com::E_FAIL},
      {&com::IID_IDispatch, 3, 3, com::E_FAIL},
      {&com::IID_IPersistPropertyBag, 2, 2, com::S_OK},
      {&com::IID_IPersistStreamInit, 2, 2, com::S_OK},
      {&com::IID_IPersistPropertyBag, 1, 1, com::E_FAIL},
      {&com::IID_IOleObject, 1, 1, com::E_FAIL},
  };
  for (const auto& c : cases)
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(*c.iid, c.mask, c.enabled), c.hr)
        << com::GuidToString(*c.iid) << " " << c.mask << " " << c.enabled;
}

TEST(ObjectSafetyTest, TraceLines) {
  auto ctrl = NewControl();
  auto safety = Query<com::IObjectSafety>(static_cast<com::IDispatch*>(ctrl.Get()), com::IID_IObjectSafety);
  com::DWORD s, e;
  testing::internal::CaptureStderr();
  safety->GetInterfaceSafetyOptions(com::IID_IWebBrowser2, &s, &e);
  safety->GetInterfaceSafetyOptions(com::IID_IDispatch, &s, &e);
  safety->SetInterfaceSafetyOptions(com::IID_IWebBrowser2, 1, 1);
  safety->SetInterfaceSafetyOptions(com::IID_IOleObject, 1, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Requested interface is not supported.\n"
            "Client asking if it's safe to call through IDispatch.\n"
            "In other words, is the control safe for scripting?\n"
            "{D30C1661-CDAF-11D0-8A3E-00C04FC9E26E} is not support.\n"
            "We didn't account for the safety of {00000112-0000-0000-C000-000000000046}, and it's one we support...\n");
}

TEST(DispatchTest, NamesMatchInAnyCaseAndDispidsArePositions) {
  auto ctrl = NewControl();
  int i = 1;
  for (const auto& e : WendexDispatchTable()) {
    EXPECT_EQ(e.dispid, i++);
    com::DISPID id = 0;
    std::string lower = e.name;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(ctrl->GetIDsOfNames(lower, &id), com::S_OK) << lower;
    EXPECT_EQ(id, e.dispid);
  }
  com::DISPID id = 0;
  EXPECT_EQ(ctrl->GetIDsOfNames("FFILLFORM", &id), com::S_OK);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(ctrl->GetIDsOfNames("FFillForm2", &id), com::DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, com::DISPID_UNKNOWN);
  com::Variant r;
  EXPECT_EQ(ctrl->Invoke(28, {}, &r), com::DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(ctrl->Invoke(0, {}, &r), com::DISP_E_MEMBERNOTFOUND);
}

TEST(DispatchTest, ArgumentCoercion) {
  auto ctrl = NewControl();
  constexpr com::DISPID kFSetTarget = 17;  // returns its short argument unchanged
  struct Case {
    com::Variant arg;
    com::HRESULT hr;
    std::int32_t result;
  } cases[] = {
      {1.0, com::S_OK, 1},
      {std::int32_t{7}, com::S_OK, 7},
      {std::string("12"), com::S_OK, 12},
      {65537.0, com::S_OK, 1},
      {std::string("-32769"), com::S_OK, 32767},
      {std::string("seven"), com::DISP_E_TYPEMISMATCH, 0},
      {com::Null{}, com::DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    com::Variant r;
    EXPECT_EQ(ctrl->Invoke(kFSetTarget, {std::string("_self"), c.arg, std::string("")}, &r), c.hr)
        << com::VariantToText(c.arg);
    if (c.hr == com::S_OK) {
      EXPECT_EQ(std::get<std::int32_t>(r), c.result);
    }
  }
  com::Variant r;
  EXPECT_EQ(ctrl->Invoke(kFSetTarget, {std::string("_self"), 1.0}, &r), com::DISP_E_BADPARAMCOUNT);
  // Texts convert to any text parameter; results come back as UTF-8.
  EXPECT_EQ(ctrl->Invoke(12, {}, &r), com::S_OK);
  EXPECT_EQ(std::get<std::string>(r), "getSource_error");
}

// Every method can be called before the control has a browser, and those
// that need one answer as they do without a document.
TEST(DispatchTest, AllMethodsAnswerWithoutBrowser) {
  setenv("VELMORA_MSGBOX_LOG", (testing::TempDir() + "control_boxes.log").c_str(), 1);
  auto ctrl = NewControl();
  const std::map<std::string, com::Variant> expected = {
      {"FFillForm", std::int32_t{1}}, {"FFillFormS", std::int32_t{1}}, {"FAddToBody", std::int32_t{1}},
      {"FAddToForm", std::int32_t{1}}, {"FClickLink", std::int32_t{1}}, {"FFillForm1", std::int32_t{1}},
      {"FGetStatue", std::int32_t{1}}, {"FSetSrc", std::int32_t{99}}, {"FSetCookie", std::int32_t{99}},
      {"FChangeAction", std::int32_t{0}}, {"FSubmitForm", std::int32_t{99}}, {"FCallJSF1", std::int32_t{1}}, {"FGetSrc", std::string()},
      {"FGetCookie", std::string()}, {"FGetSource", std::string("getSource_error")},
  };
  for (const auto& e : WendexDispatchTable()) {
    // Build arguments from the signature: shorts get 0, texts get "".
    com::DispParams args;
    std::string_view sig = e.signature;
    std::string_view params = sig.substr(1, sig.find(')') - 1);
    for (std::size_t pos = 0; !params.empty() && pos != std::string_view::npos;) {
      std::size_t comma = params.find(',', pos);
      std::string_view p = params.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
      if (p.find("SHORT") != std::string_view::npos) {
        args.emplace_back(std::int32_t{0});
      } else {
        args.emplace_back(std::string());
      }
      pos = comma == std::string_view::npos ? comma : comma + 2;
    }
    com::Variant r;
    ASSERT_EQ(ctrl->Invoke(e.dispid, args, &r), com::S_OK) << e.name;
    if (auto it = expected.find(e.name); it != expected.end()) {
      EXPECT_EQ(r, it->second) << e.name;
    }
  }
  // A valid callback description gets past the JSON test: no document, 1.
  EXPECT_EQ(ctrl->FSubmitForm("form", "{\"callback_1\":[\"done\"]}"), 1);
  unsetenv("VELMORA_MSGBOX_LOG");
}

TEST(ControlTest, FirstMShowsTheVersion) {
  std::string log = testing::TempDir() + "firstm.log";
  std::filesystem::remove(log);
  setenv("VELMORA_MSGBOX_LOG", log.c_str(), 1);
  auto ctrl = NewControl();
  ctrl->firstM();
  unsetenv("VELMORA_MSGBOX_LOG");
  std::ifstream in(log);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.substr(line.find('\t') + 1), "1.0.0.15");
}

// A container in the manner of a test: the browser services it offers, and
// the address of its page, are chosen per test.
class FakeBrowser final : public engine::Browser {
 public:
  explicit FakeBrowser(std::string url) : url_(std::move(url)) {}
  com::HRESULT QueryInterface(const com::IID&, void**) override { return com::E_NOINTERFACE; }
  com::ULONG AddRef() override { return ++refs; }
  com::ULONG Release() override { return --refs; }
  com::HRESULT get_Document(engine::Document** d) override {
    *d = nullptr;
    return com::S_OK;
  }
  com::HRESULT get_LocationURL(std::string* url) override {
    *url = url_;
    return com::S_OK;
  }
  int refs = 1;

 private:
  std::string url_;
};

class FakeSite final : public com::IOleClientSite, public com::IServiceProvider {
 public:
  FakeSite(FakeBrowser* browser, bool topLevel) : browser_(browser), topLevel_(topLevel) {}
  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == com::IID_IServiceProvider && browser_) {
      *out = static_cast<com::IServiceProvider*>(this);
      return com::S_OK;
    }
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return 2; }
  com::ULONG Release() override { return 1; }
  com::HRESULT QueryService(const com::GUID& sid, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (sid == com::SID_STopLevelBrowser && iid == com::IID_IServiceProvider && topLevel_) {
      *out = static_cast<com::IServiceProvider*>(this);
      return com::S_OK;
    }
    if (sid == com::SID_SWebBrowserApp && iid == com::IID_IWebBrowser2) {
      browser_->AddRef();
      *out = static_cast<engine::Browser*>(browser_);
      return com::S_OK;
    }
    return com::E_NOINTERFACE;
  }

 private:
  FakeBrowser* browser_;
  bool topLevel_;
};

TEST(SitingTest, HostBrowserIsKeptForAllowedPagesAndReleased) {
  setenv("VELMORA_SERVICE", "https://service.example:8443", 1);
  setenv("VELMORA_ALLOWED_ORIGINS", "https://partner.example, http://other.example:81", 1);
  struct Case {
    const char* url;
    bool allowed;
  } cases[] = {
      {"http://127.0.0.1:9000/page.html", true},
      {"http://localhost/x", true},
      {"https://service.example:8443/app", true},
      {"https://SERVICE.example:8443", true},
      {"https://partner.example:443/", true},
      {"http://other.example:81/a?b", true},
      {"https://localhost/x", false},
      {"http://service.example:8443/app", false},
      {"http://127.0.0.1.evil.example/", false},
      {"file:///tmp/page.html", false},
      {"about:blank", false},
  };
  for (const auto& c : cases) {
    auto ctrl = NewControl();
    FakeBrowser browser(c.url);
    FakeSite site(&browser, true);
    EXPECT_EQ(ctrl->SetClientSite(&site), c.allowed ? com::S_OK : com::E_ACCESSDENIED) << c.url;
    EXPECT_EQ(ctrl->hostBrowser() != nullptr, c.allowed) << c.url;
    EXPECT_EQ(browser.refs, c.allowed ? 2 : 1) << c.url;
    EXPECT_EQ(ctrl->SetClientSite(nullptr), com::S_OK);
    EXPECT_EQ(ctrl->hostBrowser(), nullptr);
    EXPECT_EQ(browser.refs, 1) << c.url;
  }
  unsetenv("VELMORA_SERVICE");
  unsetenv("VELMORA_ALLOWED_ORIGINS");
}

TEST(SitingTest, ContainerWithoutBrowserServicesLeavesHostBrowserEmpty) {
  auto ctrl = NewControl();
  FakeBrowser browser("http://127.0.0.1/");
  FakeSite noProvider(nullptr, false);
  EXPECT_EQ(ctrl->SetClientSite(&noProvider), com::S_OK);
  EXPECT_EQ(ctrl->hostBrowser(), nullptr);
  FakeSite noTopLevel(&browser, false);
  EXPECT_EQ(ctrl->SetClientSite(&noTopLevel), com::S_OK);
  EXPECT_EQ(ctrl->hostBrowser(), nullptr);
  EXPECT_EQ(browser.refs, 1);
  // Without a hosting page, FCallJSF1 finds no document.
  EXPECT_EQ(ctrl->FCallJSF1("", "f", "", ""), 1);
}

TEST(ControlTest, WindowPageAndBrowserFollowTheExtent) {
  auto ctrl = NewControl();
  EXPECT_EQ(ctrl->hwnd(), 0u);
  ASSERT_EQ(ctrl->SetExtent(640, 480), com::S_OK);
  ASSERT_EQ(ctrl->DoVerb(com::OLEIVERB_INPLACEACTIVATE), com::S_OK);
  ASSERT_NE(ctrl->hwnd(), 0u);
  CWendexPropPage* page = ctrl->page();
  ASSERT_TRUE(page->HasWindow());
  auto rect = page->m_browser.GetWindowRect();
  EXPECT_EQ(rect.width, 640);
  EXPECT_EQ(rect.height, 480);
  ctrl->SetExtent(300, 200);
  rect = page->m_browser.GetWindowRect();
  EXPECT_EQ(rect.x, 0);
  EXPECT_EQ(rect.width, 300);
  EXPECT_EQ(rect.height, 200);
  // A minimised page leaves the browser as it is.
  ASSERT_TRUE(loop::PostMessage(page->hwnd(), loop::WM_SIZE, loop::SIZE_MINIMIZED, nullptr, 0));
  loop::DefaultLoop().RunUntil([] { return false; }, 20);
  EXPECT_EQ(page->m_browser.GetWindowRect().width, 300);

  // 0x468 and 0x46B do nothing; the control keeps working.
  for (loop::UINT msg : {WM_UNUSED_468, WM_UNUSED_46B}) EXPECT_TRUE(loop::PostMessage(ctrl->hwnd(), msg, 1));
  loop::DefaultLoop().RunUntil([] { return false; }, 20);
  EXPECT_EQ(ctrl->FSetTarget("", 5, ""), 5);

  loop::HWND was = ctrl->hwnd();
  EXPECT_EQ(ctrl->Close(), com::S_OK);
  EXPECT_FALSE(page->HasWindow());
  EXPECT_FALSE(loop::PostMessage(was, WM_POST_RESULT));
}

class Bag final : public com::IPropertyBag {
 public:
  std::map<std::string, com::Variant> values;
  com::HRESULT QueryInterface(const com::IID&, void**) override { return com::E_NOINTERFACE; }
  com::ULONG AddRef() override { return 2; }
  com::ULONG Release() override { return 1; }
  com::HRESULT Read(std::string_view name, com::Variant* v) override {
    auto it = values.find(std::string(name));
    if (it == values.end()) return com::E_INVALIDARG;
    *v = it->second;
    return com::S_OK;
  }
  com::HRESULT Write(std::string_view name, const com::Variant& v) override {
    values[std::string(name)] = v;
    return com::S_OK;
  }
};

TEST(PersistenceTest, FisByUserReachesTheHiddenBrowser) {
  auto ctrl = NewControl();
  auto bagPersist = Query<com::IPersistPropertyBag>(static_cast<com::IDispatch*>(ctrl.Get()), com::IID_IPersistPropertyBag);
  ASSERT_TRUE(bagPersist);
  Bag bag;
  bag.values["FisByUser"] = std::string("0");
  ASSERT_EQ(bagPersist->Load(&bag), com::S_OK);
  EXPECT_EQ(ctrl->page()->m_browser.isByUser, 0);
  Bag empty;
  ASSERT_EQ(bagPersist->Load(&empty), com::S_OK);
  EXPECT_EQ(ctrl->page()->m_browser.isByUser, CWendexCtrl::kDefaultFisByUser);

  // Stream persistence round-trips, and state of another version is refused.
  bag.values["FisByUser"] = std::int32_t{7};
  bagPersist->Load(&bag);
  auto stream = Query<com::IPersistStreamInit>(static_cast<com::IDispatch*>(ctrl.Get()), com::IID_IPersistStreamInit);
  std::vector<std::uint8_t> saved;
  ASSERT_EQ(stream->Save(&saved), com::S_OK);
  stream->InitNew();
  EXPECT_EQ(ctrl->page()->m_browser.isByUser, CWendexCtrl::kDefaultFisByUser);
  ASSERT_EQ(stream->Load(saved), com::S_OK);
  EXPECT_EQ(ctrl->page()->m_browser.isByUser, 7);
  auto newer = saved;
  newer[2] = 2;  // major version 2
  EXPECT_EQ(stream->Load(newer), com::E_FAIL);
  EXPECT_EQ(stream->Load(std::vector<std::uint8_t>{1, 2}), com::E_FAIL);
  EXPECT_EQ(ctrl->page()->m_browser.isByUser, 7);
}

TEST(ControlTest, FixedAnswersAndUnloading) {
  {
    auto ctrl = NewControl();
    EXPECT_EQ(ctrl->GetMiscStatus(), 0x20191u);
    EXPECT_EQ(ctrl->GetControlFlags() & 8u, 8u);
    EXPECT_EQ(ctrl->GetUserTypeNameID(), 1);
    EXPECT_EQ(ctrl->GetClassID(), wendex::CLSID_WendexCtrl);
    EXPECT_EQ(ctrl->GetPropPageIDs(), std::vector<com::CLSID>{wendex::CLSID_WendexPropPage});
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
  void* p = nullptr;
  EXPECT_EQ(DllGetClassObject(com::IID_IDispatch, com::IID_IClassFactory, &p), com::CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
