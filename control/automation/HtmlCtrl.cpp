#include "control/automation/HtmlCtrl.h"

#include "control/automation/enumIE.h"
#include "platform/codepage.h"

namespace {

// Replaces the page's dialogs and error handler.
constexpr char kSuppressionScript[] =
    "function confirm() {return true;} ; function alert() {};function prompt() {return true;}; "
    "window.onerror=function(){return true;};";
constexpr char kScriptLanguage[] = "JavaScript";
constexpr char kLinkTarget[] = "_self";
constexpr std::string_view kAppScheme = "app:";

}  // namespace

// Forwards the browser's events to the control's browser object.
class CHtmlCtrl::Events final : public engine::BrowserEvents {
 public:
  explicit Events(CHtmlCtrl& owner) : owner_(owner) {}
  bool BeforeNavigate2(std::string_view url, bool isTopLevel) override {
    return owner_.OnBeforeNavigate2(url, isTopLevel);
  }
  void NavigateComplete2(std::string_view url, bool isTopLevel) override {
    owner_.OnNavigateComplete2(url, isTopLevel);
  }
  void DocumentComplete(std::string_view url, bool isTopLevel) override {
    owner_.OnDocumentComplete(url, isTopLevel);
  }
  // Navigation errors are not reported; the error page becomes the document.
  void NavigateError(std::string_view, bool, std::int32_t) override {}

 private:
  CHtmlCtrl& owner_;
};

CHtmlCtrl::CHtmlCtrl() : pageLoaded(std::make_shared<std::atomic<std::uint8_t>>(0)) {}

CHtmlCtrl::~CHtmlCtrl() { Destroy(); }

bool CHtmlCtrl::Create(loop::HWND, int x, int y, int width, int height) {
  m_rect = {x, y, width, height};
  if (m_browser) return true;
  m_browser = engine::MakeBrowser(loop::DefaultLoop());
  // Without an engine the control behaves as one without a document.
  if (!m_browser) return true;
  m_events = std::make_unique<Events>(*this);
  m_browser->Advise(m_events.get());
  m_browser->SetViewSize(width, height);
  ApplySettings();
  return true;
}

void CHtmlCtrl::Destroy() {
  if (m_browser) {
    m_browser->Advise(nullptr);
    m_browser->ShowView(nullptr);
  }
  m_browser.Reset();
  m_events.reset();
}

bool CHtmlCtrl::IsCreated() const { return static_cast<bool>(m_browser); }

void CHtmlCtrl::ApplySettings() {
  if (!m_browser) return;
  m_browser->SetLoadImages(isByUser != 0);
  // The suppression also goes in before any script of a new document runs,
  // so that a dialog opened while the page loads never reaches a person.
  // The handlers below still run it once the document is there, as before.
  m_browser->SetNewDocumentScript(alertSwitch ? "" : kSuppressionScript);
}

void CHtmlCtrl::Navigate(const std::string& url) {
  if (!m_browser) return;
  ApplySettings();
  m_browser->Navigate(codepage::AnsiToUtf8(url));
}

void CHtmlCtrl::Refresh() {
  if (!m_browser) return;
  ApplySettings();
  m_browser->Refresh();
}

void CHtmlCtrl::GoBack() {
  if (!m_browser) return;
  ApplySettings();
  m_browser->GoBack();
}

void CHtmlCtrl::GoForward() {
  if (!m_browser) return;
  ApplySettings();
  m_browser->GoForward();
}

std::string CHtmlCtrl::LocationURL() const {
  std::string url;
  if (!m_browser || com::Failed(m_browser->get_LocationURL(&url))) return {};
  return codepage::Utf8ToAnsi(url);
}

void CHtmlCtrl::MoveWindow(int x, int y, int width, int height) {
  m_rect = {x, y, width, height};
  if (m_browser) m_browser->SetViewSize(width, height);
}

void CHtmlCtrl::ShowIn(engine::ViewBox* area) {
  if (m_browser) m_browser->ShowView(area);
}

// The hidden browser has no keyboard of its own to feed: the keys of its
// area go to it straight from the area (engine/view.h).
bool CHtmlCtrl::PreTranslateMessage(const loop::Message&) { return false; }

com::ComPtr<engine::Document> CHtmlCtrl::GetDocument() const {
  if (!m_browser) return nullptr;
  com::ComPtr<engine::Document> doc;
  if (com::Failed(m_browser->get_Document(doc.Put()))) return nullptr;
  return doc;
}

com::ComPtr<engine::Browser> CHtmlCtrl::GetBrowser() const { return m_browser; }

void CHtmlCtrl::HandleAppLink(std::string_view) {}

void CHtmlCtrl::OnNavigateComplete2(std::string_view, bool) {
  // Silent mode: no dialog waits for a person.
  m_browser->put_Silent(true);
  // Pages are left alone while the switch is on.
  if (alertSwitch) return;
  // The suppression script in the top-level document's window.
  com::ComPtr<engine::Document> doc = GetDocument();
  if (!doc) return;
  com::ComPtr<engine::Window> window;
  if (com::Succeeded(doc->get_parentWindow(window.Put())) && window) {
    com::Variant result;
    window->execScript(kSuppressionScript, kScriptLanguage, &result);
  }
  // Before-unload handlers closed and the same script in every frame and the document.
  enumIE().closeEvents(kSuppressionScript, doc.Get());
}

bool CHtmlCtrl::OnBeforeNavigate2(std::string_view url, bool) {
  if (url.size() >= kAppScheme.size() && codepage::EqualsNoCase(url.substr(0, kAppScheme.size()), kAppScheme)) {
    HandleAppLink(url.substr(kAppScheme.size()));
    return false;
  }
  return true;
}

void CHtmlCtrl::OnDocumentComplete(std::string_view, bool isTopLevel) {
  // A frame's completion changes nothing.
  if (!isTopLevel) return;
  // The top-level document.
  com::ComPtr<engine::Document> doc = GetDocument();
  if (doc) {
    // "_blank" links open in this browser, in every frame too.
    enumIE().setLinkTarget(kLinkTarget, doc.Get());
    // Before-unload handlers closed.
    enumIE().closeEvents("", doc.Get());
  }
  // The load waits may see it now.
  pageLoaded->store(1);
}
