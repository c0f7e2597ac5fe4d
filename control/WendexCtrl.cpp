#include "control/WendexCtrl.h"

#include <cstdio>
#include <cstring>

#include "control/Requests.h"
#include "control/ServiceHost.h"
#include "control/WendexApp.h"
#include "control/WendexDispatch.h"
#include "control/WendexIds.h"
#include "control/automation/FileSources.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"

namespace {

// Diagnostic trace lines go to standard error.
void Trace(const char* text) { std::fputs(text, stderr); }

bool IsPersistInterface(const com::IID& iid) {
  return iid == com::IID_IPersistPropertyBag || iid == com::IID_IPersistStreamInit ||
         iid == com::IID_IPersistStorage || iid == com::IID_IPersistMemory;
}

// Persistent state as bytes: the exchange version (major in the high
// word) and FisByUser, little-endian.
constexpr std::uint32_t kPropVersion = (1u << 16) | 0u;
constexpr std::size_t kPersistSize = 6;

}  // namespace

// The control's window: created on in-place activation on the page's
// thread; the workers' messages arrive here.
class CWendexCtrl::Window : public loop::MessageTarget {
 public:
  Window(loop::Loop& l, CWendexCtrl& ctrl) : MessageTarget(l), m_ctrl(ctrl) {}

 protected:
  loop::LRESULT WindowProc(loop::Message& m) override { return m_ctrl.WindowProc(m); }

 private:
  CWendexCtrl& m_ctrl;
};

const loop::MessageMapEntry<CWendexCtrl> CWendexCtrl::kMessageMap[7] = {
    {loop::WM_CREATE, &CWendexCtrl::OnCreate},
    {loop::WM_SIZE, &CWendexCtrl::OnSize},
    {WM_WAIT_RESULT, &CWendexCtrl::OnWaitResult},
    {WM_UNUSED_468, &CWendexCtrl::OnNothing},
    {WM_POST_RESULT, &CWendexCtrl::OnPostResult},
    {WM_GET_RESULT, &CWendexCtrl::OnGetResult},
    {WM_UNUSED_46B, &CWendexCtrl::OnNothing},
};

CWendexCtrl::CWendexCtrl() : m_pPage(std::make_unique<CWendexPropPage>()) {
  CWendexApp::ObjectCreated();
  ApplyFisByUser(m_FisByUser);
}

CWendexCtrl::~CWendexCtrl() {
  // The page (and with it the hidden browser) goes first, then the window.
  m_pPage.reset();
  m_pWnd.reset();
  CWendexApp::ObjectDestroyed();
}

// --- IUnknown ------------------------------------------------------------

bool CWendexCtrl::ExposesInterface(const com::IID& iid) const {
  return iid == com::IID_IUnknown || iid == com::IID_IDispatch || iid == wendex::DIID__DWendex ||
         iid == com::IID_IOleObject || iid == com::IID_IObjectSafety ||
         iid == com::IID_IPersistPropertyBag || iid == com::IID_IPersistStreamInit ||
         iid == com::IID_IPersistMemory;
}

com::HRESULT CWendexCtrl::QueryInterface(const com::IID& iid, void** out) {
  if (!out) return com::E_POINTER;
  *out = nullptr;
  if (iid == com::IID_IUnknown || iid == com::IID_IDispatch || iid == wendex::DIID__DWendex)
    *out = static_cast<com::IDispatch*>(this);
  else if (iid == com::IID_IOleObject)
    *out = static_cast<com::IOleObject*>(this);
  else if (iid == com::IID_IObjectSafety)
    *out = static_cast<com::IObjectSafety*>(&m_xObjectSafety);
  else if (iid == com::IID_IPersistPropertyBag)
    *out = static_cast<com::IPersistPropertyBag*>(this);
  else if (iid == com::IID_IPersistStreamInit)
    *out = static_cast<com::IPersistStreamInit*>(this);
  else if (iid == com::IID_IPersistMemory)
    *out = static_cast<com::IPersistMemory*>(this);
  else
    return com::E_NOINTERFACE;
  AddRef();
  return com::S_OK;
}

// --- IDispatch -----------------------------------------------------------

com::HRESULT CWendexCtrl::GetIDsOfNames(std::string_view name, com::DISPID* id) {
  if (!id) return com::E_POINTER;
  const DispatchEntry* e = FindDispatchEntry(name);
  *id = e ? e->dispid : com::DISPID_UNKNOWN;
  return e ? com::S_OK : com::DISP_E_UNKNOWNNAME;
}

com::HRESULT CWendexCtrl::Invoke(com::DISPID id, const com::DispParams& args, com::Variant* result) {
  const DispatchEntry* e = FindDispatchEntry(id);
  if (!e) return com::DISP_E_MEMBERNOTFOUND;
  // Keep the control alive through the call: a method may call into the
  // page, whose script may let go of the control.
  com::ComPtr<CWendexCtrl> self = com::ComPtr<CWendexCtrl>::Share(this);
  return e->invoke(*this, args, result);
}

// --- Object safety -------------------------------------------------------

com::HRESULT CWendexCtrl::XObjectSafety::QueryInterface(const com::IID& iid, void** out) {
  return m_ctrl.QueryInterface(iid, out);
}
com::ULONG CWendexCtrl::XObjectSafety::AddRef() { return m_ctrl.AddRef(); }
com::ULONG CWendexCtrl::XObjectSafety::Release() { return m_ctrl.Release(); }

com::HRESULT CWendexCtrl::XObjectSafety::GetInterfaceSafetyOptions(const com::IID& iid,
                                                                   com::DWORD* supported,
                                                                   com::DWORD* enabled) {
  if (!supported || !enabled) return com::E_POINTER;
  *supported = com::INTERFACESAFE_FOR_UNTRUSTED_CALLER | com::INTERFACESAFE_FOR_UNTRUSTED_DATA;
  *enabled = 0;
  if (!m_ctrl.ExposesInterface(iid)) {
    Trace("Requested interface is not supported.\n");
    return com::E_NOINTERFACE;
  }
  if (iid == com::IID_IDispatch) {
    Trace("Client asking if it's safe to call through IDispatch.\n");
    Trace("In other words, is the control safe for scripting?\n");
    *enabled = com::INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    return com::S_OK;
  }
  if (IsPersistInterface(iid)) {
    Trace("Client asking if it's safe to call through IPersist*.\n");
    Trace("In other words, is the control safe for initializing from persistent data?\n");
    *enabled = com::INTERFACESAFE_FOR_UNTRUSTED_DATA;
    return com::S_OK;
  }
  Trace("We didn't account for the safety of this interface, and it's one we support...\n");
  return com::E_NOINTERFACE;
}

com::HRESULT CWendexCtrl::XObjectSafety::SetInterfaceSafetyOptions(const com::IID& iid,
                                                                   com::DWORD mask,
                                                                   com::DWORD enabled) {
  std::string guid = com::GuidToString(iid);
  if (mask == 0 && enabled == 0) return com::S_OK;
  if (!m_ctrl.ExposesInterface(iid)) {
    std::fprintf(stderr, "%s is not support.\n", guid.c_str());
    return com::E_FAIL;
  }
  if (iid == com::IID_IDispatch) {
    Trace("Client asking if it's safe to call through IDispatch.\n");
    Trace("In other words, is the control safe for scripting?\n");
    return mask == com::INTERFACESAFE_FOR_UNTRUSTED_CALLER &&
                   enabled == com::INTERFACESAFE_FOR_UNTRUSTED_CALLER
               ? com::S_OK
               : com::E_FAIL;
  }
  if (IsPersistInterface(iid)) {
    Trace("Client asking if it's safe to call through IPersist*.\n");
    Trace("In other words, is the control safe for initializing from persistent data?\n");
    return mask == com::INTERFACESAFE_FOR_UNTRUSTED_DATA &&
                   enabled == com::INTERFACESAFE_FOR_UNTRUSTED_DATA
               ? com::S_OK
               : com::E_FAIL;
  }
  std::fprintf(stderr, "We didn't account for the safety of %s, and it's one we support...\n",
               guid.c_str());
  return com::E_FAIL;
}

// --- Siting --------------------------------------------------------------

com::HRESULT CWendexCtrl::SetClientSite(com::IOleClientSite* site) {
  // No site any more: let go of the hosting browser and the control's area.
  if (!site) {
    m_pHostBrowser.Reset();
    m_pViewBox.Reset();
    return com::S_OK;
  }
  // The site's service provider.
  com::ComPtr<com::IServiceProvider> provider;
  if (com::Failed(site->QueryInterface(com::IID_IServiceProvider, provider.PutVoid())) || !provider)
    return com::S_OK;
  // Only a container with a top-level browser hands out the page's browser;
  // the browser itself is asked of the site's own provider.
  com::ComPtr<com::IServiceProvider> topLevel;
  if (com::Succeeded(provider->QueryService(com::SID_STopLevelBrowser, com::IID_IServiceProvider,
                                            topLevel.PutVoid())) &&
      topLevel) {
    com::ComPtr<engine::Browser> browser;
    if (com::Succeeded(provider->QueryService(com::SID_SWebBrowserApp, com::IID_IWebBrowser2,
                                              browser.PutVoid())))
      m_pHostBrowser = browser;
  }
  // The control is marked safe for scripting by untrusted callers, so it
  // serves only the pages it was made for: a page of any other origin is
  // refused and the control keeps no reference to it.
  if (m_pHostBrowser) {
    std::string url;
    if (com::Failed(m_pHostBrowser->get_LocationURL(&url)) || !wendex::IsAllowedHostPage(url)) {
      m_pHostBrowser.Reset();
      return com::E_ACCESSDENIED;
    }
  }
  // The area the container gives the control, if any: the hidden browser
  // fills it once the control's window exists.
  com::ComPtr<engine::ViewBox> box;
  if (com::Succeeded(provider->QueryService(engine::SID_ViewBox, engine::IID_ViewBox, box.PutVoid())))
    m_pViewBox = box;
  return com::S_OK;
}

com::HRESULT CWendexCtrl::DoVerb(std::int32_t verb) {
  if (verb != com::OLEIVERB_INPLACEACTIVATE) return com::E_NOTIMPL;
  if (m_pWnd) return com::S_OK;
  m_pWnd = std::make_unique<Window>(loop::DefaultLoop(), *this);
  if (m_pWnd->SendMessage(loop::WM_CREATE) == -1) {
    m_pWnd.reset();
    return com::E_FAIL;
  }
  m_pWnd->SendMessage(loop::WM_SIZE, loop::SIZE_RESTORED, loop::MakeLParam(m_cx, m_cy));
  return com::S_OK;
}

com::HRESULT CWendexCtrl::SetExtent(int width, int height) {
  if (width < 0 || height < 0) return com::E_INVALIDARG;
  m_cx = width;
  m_cy = height;
  if (m_pWnd) m_pWnd->SendMessage(loop::WM_SIZE, loop::SIZE_RESTORED, loop::MakeLParam(width, height));
  return com::S_OK;
}

com::HRESULT CWendexCtrl::Close() {
  if (m_pPage) m_pPage->DestroyWindow();
  m_pWnd.reset();
  // Without its browser no fill will want the downloads again.
  m_pFileSources.reset();
  return com::S_OK;
}

loop::HWND CWendexCtrl::hwnd() const { return m_pWnd ? m_pWnd->hwnd() : 0; }

// --- Fixed answers -------------------------------------------------------

std::uint32_t CWendexCtrl::GetControlFlags() const { return kNoFlickerActivate; }
com::CLSID CWendexCtrl::GetClassID() const { return wendex::CLSID_WendexCtrl; }
std::vector<com::CLSID> CWendexCtrl::GetPropPageIDs() const { return {wendex::CLSID_WendexPropPage}; }

// --- Persistence ---------------------------------------------------------

void CWendexCtrl::ApplyFisByUser(std::int16_t value) {
  m_FisByUser = value;
  if (m_pPage) m_pPage->m_browser.isByUser = value;
}

void CWendexCtrl::DoPropExchange(com::IPropertyBag* loadFrom) {
  std::int16_t value = kDefaultFisByUser;
  if (loadFrom) {
    com::Variant v;
    if (com::Succeeded(loadFrom->Read("FisByUser", &v)))
      if (auto s = com::VariantToShort(v)) value = *s;
  }
  ApplyFisByUser(value);
}

com::HRESULT CWendexCtrl::InitNew() {
  DoPropExchange(nullptr);
  return com::S_OK;
}

com::HRESULT CWendexCtrl::Load(com::IPropertyBag* bag) {
  if (!bag) return com::E_POINTER;
  DoPropExchange(bag);
  return com::S_OK;
}

com::HRESULT CWendexCtrl::Save(com::IPropertyBag* bag) {
  if (!bag) return com::E_POINTER;
  return bag->Write("FisByUser", static_cast<std::int32_t>(m_FisByUser));
}

com::HRESULT CWendexCtrl::Load(const std::uint8_t* data, std::size_t size) {
  if (!data) return com::E_POINTER;
  if (size < kPersistSize) return com::E_FAIL;
  std::uint32_t version = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  // The exchange's version check: state written by another major version is refused.
  if ((version >> 16) != (kPropVersion >> 16)) return com::E_FAIL;
  ApplyFisByUser(static_cast<std::int16_t>(data[4] | (data[5] << 8)));
  return com::S_OK;
}

com::HRESULT CWendexCtrl::Save(std::uint8_t* data, std::size_t size) {
  if (!data) return com::E_POINTER;
  if (size < kPersistSize) return com::E_INVALIDARG;
  const auto v = static_cast<std::uint16_t>(m_FisByUser);
  const std::uint8_t bytes[kPersistSize] = {
      static_cast<std::uint8_t>(kPropVersion), static_cast<std::uint8_t>(kPropVersion >> 8),
      static_cast<std::uint8_t>(kPropVersion >> 16), static_cast<std::uint8_t>(kPropVersion >> 24),
      static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  std::memcpy(data, bytes, kPersistSize);
  return com::S_OK;
}

com::HRESULT CWendexCtrl::GetSizeMax(std::size_t* size) {
  if (!size) return com::E_POINTER;
  *size = kPersistSize;
  return com::S_OK;
}

com::HRESULT CWendexCtrl::Load(const std::vector<std::uint8_t>& stream) {
  return Load(stream.data(), stream.size());
}

com::HRESULT CWendexCtrl::Save(std::vector<std::uint8_t>* stream) {
  if (!stream) return com::E_POINTER;
  stream->resize(kPersistSize);
  return Save(stream->data(), stream->size());
}

// --- Window and messages -------------------------------------------------

loop::LRESULT CWendexCtrl::WindowProc(loop::Message& m) {
  return loop::DispatchMessageMap(this, kMessageMap, m).value_or(0);
}

loop::LRESULT CWendexCtrl::OnCreate(loop::Message&) {
  // The child page fills the control and holds the hidden browser, which
  // shows in the control's area when the container gave it one.
  if (!m_pPage->Create(m_pWnd->loop(), m_pWnd->hwnd(), m_pViewBox.Get())) return -1;
  return 0;
}

loop::LRESULT CWendexCtrl::OnSize(loop::Message& m) {
  m_pPage->MoveWindow(0, 0, loop::LoWord(m.lParam), loop::HiWord(m.lParam));
  return 0;
}

loop::LRESULT CWendexCtrl::OnNothing(loop::Message&) { return 0; }

loop::LRESULT CWendexCtrl::OnWaitResult(loop::Message& m) {
  auto job = loop::Adopt<CWaitValue>(m);
  if (!job) return 0;
  // The callback for the outcome, called in the hosting page; the job goes on return.
  const CString backJson = job->sBackJson;
  Callback cb = m.wParam == 1 ? GetCallback1(backJson) : GetCallback2(backJson);
  CallHostFunction(m_pHostBrowser.Get(), cb);
  return 0;
}

loop::LRESULT CWendexCtrl::OnRequestResult(loop::Message& m) {
  const int code = static_cast<int>(m.wParam);
  std::unique_ptr<CThreadValue> record = loop::Adopt<CThreadValue>(m);
  if (!record) return 0;
  try {
    // The outcome code in a box when the page asked for diagnostics.
    if (record->nShowDebug == 1) ShowNumber(code);
    Callback cb;
    if (code != REQUEST_DONE) {
      // A failure: the page's "sTimeOut" function with its own texts only.
      cb = GetRequestCallback(record->jsonBack, "sTimeOut");
    } else {
      // Success: the raw headers, the result, then the "para" texts.
      cb = GetRequestCallback(record->jsonBack, "sComeBack");
      cb.args.insert(cb.args.begin(), {record->sHeaders, record->sResult});
    }
    // The call in the hosting page.
    CallHostFunction(m_pHostBrowser.Get(), cb);
  } catch (const std::exception&) {
    // A call that broke: the user is told, with the outcome code.
    char text[128];
    std::snprintf(text, sizeof text, "控件处理出错，请重试或联系客服！Error:OnPost_%d", code);
    msgbox::Show("Wendex", text);
  }
  // The record is freed on return.
  return 0;
}

loop::LRESULT CWendexCtrl::OnPostResult(loop::Message& m) { return OnRequestResult(m); }
loop::LRESULT CWendexCtrl::OnGetResult(loop::Message& m) { return OnRequestResult(m); }
