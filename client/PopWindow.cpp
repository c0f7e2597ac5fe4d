#include "client/PopWindow.h"

#include "client/VelmoraDlg.h"
#include "platform/codepage.h"

namespace velmora {

namespace {

constexpr char kTitle[] = "欢迎页";
// The built-in page, served from the program's resources.
constexpr char kScheme[] = "velmora-res";
constexpr char kResourcePrefix[] = "/velmora/popup";
constexpr char kPage[] = "velmora-res:///popup.html";
constexpr char kMsgContext[] = "msgContext";

// window.external of the popup page; a method's DISPID is its position + 1.
constexpr host::ExternalMethod kExternalMethods[] = {
    {"callJs", nullptr},      // 1
    {"mouseOver", nullptr},   // 2
    {"mouseLeave", nullptr},  // 3
};

// Elements of the popup page whose clicks the popup handles.
constexpr char kCloseArea[] = "popWClose";
constexpr char kButtonCancel[] = "ButtonCancel";
constexpr char kButtonOK[] = "ButtonOK";

}  // namespace

CPopWindow::CPopWindow(loop::HWND owner) : loop::MessageTarget(loop::DefaultLoop()), m_owner(owner) {}

CPopWindow::~CPopWindow() { DestroyWindow(); }

// OnInitDialog: the window with its page and its own window.external,
// moved to the work area's corner and given its rounded shape.
void CPopWindow::Create() {
  host::PageWindowSettings settings;
  settings.title = kTitle;
  settings.width = kWidth;
  settings.height = kHeight;
  settings.notice = true;
  settings.external = kExternalMethods;
  settings.clickIds = {kCloseArea, kButtonCancel, kButtonOK};
  settings.builtIn = {kScheme, kResourcePrefix};
  m_bPageReady = false;
  m_window = std::make_unique<host::PageWindow>(settings, this);
  m_window->Load(kPage);
  // Placed by the work area's width and height (not its right and bottom
  // edges), as the notices were designed for.
  host::Rect area = host::PrimaryWorkArea();
  m_window->MoveResize({area.width - kRightOffset, area.height - kBottomOffset, kWidth, kHeight});
  m_window->SetRoundedShape(kCornerEllipse);
}

void CPopWindow::DestroyWindow() {
  for (loop::WPARAM id : {kTimerShown, kTimerHold, kTimerFade}) KillTimer(id);
  m_window.reset();
  m_bPageReady = false;
}

void CPopWindow::ShowWindow(bool show) {
  if (m_window) m_window->ShowWindow(show ? host::PageWindow::Show::Normal : host::PageWindow::Show::Hide);
}

void CPopWindow::UpdateData() {
  if (m_window && m_bPageReady) m_window->SetElementHtml(kMsgContext, codepage::AnsiToUtf8(m_strMsg));
}

void CPopWindow::Hide() { ShowWindow(false); }

// --- The display timeline ----------------------------------------------------

loop::LRESULT CPopWindow::WindowProc(loop::Message& m) {
  static constexpr loop::MessageMapEntry<CPopWindow> kMessageMap[] = {
      {loop::WM_TIMER, &CPopWindow::OnTimer},
  };
  return loop::DispatchMessageMap(this, kMessageMap, m).value_or(0);
}

loop::LRESULT CPopWindow::OnTimer(loop::Message& m) {
  switch (m.wParam) {
    case kTimerShown:
      // 1. The window already shows (a blend-in would change nothing):
      // from now on the hold checks.
      KillTimer(kTimerShown);
      SetTimer(kTimerHold, kHoldMs);
      break;
    case kTimerHold:
      // 2. Moved over since the last check: hold for another period.
      if (m_bMouseIn) {
        m_bMouseIn = false;
        break;
      }
      KillTimer(kTimerHold);
      SetTimer(kTimerFade, kFadeDelayMs);
      break;
    case kTimerFade:
      // 3. Fade out, then hidden (without a compositor it simply hides).
      KillTimer(kTimerFade);
      if (m_window) m_window->FadeOut(kFadeMs, [] {});
      break;
  }
  return 0;
}

// --- The page --------------------------------------------------------------------

void CPopWindow::OnExternalCall(int dispid, const std::vector<std::string>& args) {
  struct ExternalAction {
    int dispid;
    void (CPopWindow::*handler)(const std::vector<std::string>&);
  };
  static constexpr ExternalAction kActions[] = {
      {1, &CPopWindow::ExternalCallJs},
      {2, &CPopWindow::ExternalMouseOver},
      {3, &CPopWindow::ExternalMouseLeave},
  };
  for (const ExternalAction& a : kActions)
    if (a.dispid == dispid) (this->*a.handler)(args);
}

// Keeps the text and hands it to the main window, which calls the main
// page's runClientJs; the notice's script goes on at once.
void CPopWindow::ExternalCallJs(const std::vector<std::string>& args) {
  m_strCallJs = codepage::Utf8ToAnsi(args.empty() ? std::string() : args[0]);
  auto record = std::make_unique<CVelmoraDlg::CallJsRecord>();
  record->text = m_strCallJs;
  loop::PostMessage(m_owner, CVelmoraDlg::WM_POPUP_CALLJS, 0, std::move(record));
}

void CPopWindow::ExternalMouseOver(const std::vector<std::string>&) { m_bMouseIn = true; }

void CPopWindow::ExternalMouseLeave(const std::vector<std::string>&) { m_bMouseIn = false; }

// The page is ready: the notice goes in now if it came first.
void CPopWindow::OnDocumentComplete(const std::string&, bool mainFrame) {
  if (!mainFrame) return;
  m_bPageReady = true;
  UpdateData();
}

// The close area and "ButtonCancel" hide the popup at once, whatever the
// timers; "ButtonOK" ends it as a dialog's OK does (hidden).
void CPopWindow::OnElementClick(const std::string& id) {
  if (id == kCloseArea || id == kButtonCancel) {
    m_bMouseIn = false;
    Hide();
  } else if (id == kButtonOK) {
    OnOK();
  }
}

void CPopWindow::OnOK() { Hide(); }

void CPopWindow::OnMouseMove() { m_bMouseIn = true; }

}  // namespace velmora
