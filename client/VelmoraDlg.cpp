#include "client/VelmoraDlg.h"

#include <cstdio>
#include <cstdlib>

#include "client/CommandLine.h"
#include "client/DlgProxy.h"
#include "client/HelperLink.h"
#include "client/UserDb.h"
#include "platform/files.h"
#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace velmora {

namespace {

constexpr char kTitle[] = "Velmora";
constexpr char kTrayTip[] = "Velmora";
constexpr char kTrayCloseItem[] = "关闭";
constexpr char kHelperProgram[] = "velmoraClient";
constexpr char kFlashClassKey[] = "HKEY_CLASSES_ROOT\\CLSID\\{D27CDB6E-AE6D-11cf-96B8-444553540000}";
constexpr char kDefaultService[] = "http://127.0.0.1:8765";
constexpr std::string_view kUrlMarker = "http://";
constexpr int kHomeMargin = 20;  // pixels left free on each side of the work area
constexpr int kHomeFadeMs = 500;
// The splash picture, built into the program.
constexpr char kSplashPicture[] = "/velmora/splash/splash.jpg";
// The client's data folder when it runs installed from the package.
constexpr char kDataFolderName[] = "velmora";

// State keys of the getters.
constexpr char kWindowStatusKey[] = "windowStatus";
constexpr char kExcuteStrKey[] = "excuteStr";
constexpr char kAutoLoginKey[] = "autoLogin";

// window.external of the main page; a method's DISPID is its position + 1.
constexpr host::ExternalMethod kExternalMethods[] = {
    {"getWindowStatus", kWindowStatusKey},  // 1
    {"pMessage", nullptr},                  // 2
    {"getExcuteStr", kExcuteStrKey},        // 3
    {"appExit", nullptr},                   // 4
    {"forAutoLogin", nullptr},              // 5
    {"isAutoLogin", kAutoLoginKey},         // 6
    {"ClearApp", nullptr},                  // 7
};

// Elements of the main document whose clicks the window handles.
constexpr char kButtonOK[] = "ButtonOK";
constexpr char kButtonCancel[] = "ButtonCancel";

// The page functions the window calls.
constexpr char kRunClientJs[] = "runClientJs";
constexpr char kTransferFunction[] = "testbrindlevasko";

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

// --- Construction ---------------------------------------------------------

CVelmoraDlg::CVelmoraDlg(std::string commandLine)
    : loop::MessageTarget(loop::DefaultLoop()), m_strCommandLine(std::move(commandLine)) {
  // The client's own folder, with its trailing separator.
  std::string exe = process::ExecutablePath();
  m_szAppDir = exe.substr(0, exe.rfind('/') + 1);
  // The splash player counts as installed unless its class is absent.
  m_bFlashInstalled = registry::KeyExists(kFlashClassKey);
}

CVelmoraDlg::~CVelmoraDlg() {
  // 1. An automation proxy no longer points at this window.
  CVelmoraDlgAutoProxy::UnlinkAll(this);
  // 2. Sign off with the helper: the user name followed by "*".
  m_strUserName += "*";
  helperlink::SendToHelper(m_strUserName);
}

int CVelmoraDlg::DoModal() {
  if (OnCreate() == -1) return IDCANCEL;
  // The window and its web view; the page bridge is part of them.
  host::PageWindowSettings settings;
  settings.title = kTitle;
  settings.width = 1046;
  settings.height = 604;
  settings.resizable = false;
  settings.centered = true;
  settings.mainIcon = true;
  settings.external = kExternalMethods;
  settings.initialState = {{kWindowStatusKey, 0},
                           {kExcuteStrKey, std::string()},
                           {kAutoLoginKey, m_bAutoLogin ? 1 : 0}};
  settings.clickIds = {kButtonOK, kButtonCancel};
  m_nPushedStatus = 0;
  m_window = std::make_unique<host::PageWindow>(settings, this);
  OnInitDialog();
  if (!m_bEnded) host::RunLoop();
  OnDestroy();
  return IDCANCEL;
}

// WM_CREATE: the start fields from the whole command line.
int CVelmoraDlg::OnCreate() {
  StartFields f = ParseStartFields(m_strCommandLine);
  m_nUrlPos = f.m_nUrlPos;
  m_strStartUrl = std::move(f.m_strStartUrl);
  m_strUserName = std::move(f.m_strUserName);
  m_bAutoLogin = f.m_bAutoLogin;
  m_bTransfer = f.m_bTransfer;
  return 0;
}

// WM_INITDIALOG, in order.
bool CVelmoraDlg::OnInitDialog() {
  // 1-2. The window and its icons exist (DoModal made them).
  // 3. No start address: start the helper and close once initialisation ends.
  if (m_nUrlPos == -1) {
    process::Spawn(m_szAppDir + kHelperProgram, {});
    OnCancel();
  }
  // 4. A resizable frame.
  m_window->SetResizable(true);
  // 5. window.external is the window's own table (given with the window).
  // 6. The notification-area icon; the window is hidden first.
  m_window->ShowWindow(host::PageWindow::Show::Hide);
  m_tray = std::make_unique<host::TrayIcon>(kTrayTip, std::vector<host::TrayMenuItem>{{IDCANCEL, kTrayCloseItem}},
                                            this);
  // 7. Script errors raise no dialogs in this engine: nothing to switch off.
  // 8. The start page. A window that is closing already loads nothing.
  if (!m_bEnded) m_window->Load(codepage::AnsiToUtf8(m_strStartUrl));
  // 9. The load watchdog and the splash clock.
  SetTimer(kWatchdogTimer, kWatchdogMs);
  m_tStart = std::chrono::steady_clock::now();
  // 10. Register with the helper: the user name, "&" and the process id.
  helperlink::SendToHelper(m_strUserName + "&" + std::to_string(process::CurrentId()));
  // 11. The splash over the client area, the window maximised.
  if (!m_bEnded) ShowSplash();
  return true;
}

// No Flash player exists on this platform (the probe finds none), so the
// splash is always the built-in picture. A picture that cannot be decoded
// leaves the loading page uncovered.
void CVelmoraDlg::ShowSplash() {
  m_window->ShowWindow(host::PageWindow::Show::Maximized);
  m_window->ShowCover(kSplashPicture);
  m_bSplashShown = true;
  m_window->ShowWindow(host::PageWindow::Show::Maximized);
  m_window->BringToFront();
}

// WM_DESTROY: the notification-area icon goes with the window.
void CVelmoraDlg::OnDestroy() {
  KillTimer(kWatchdogTimer);
  m_popup.DestroyWindow();
  m_tray.reset();
  m_window.reset();
}

// --- Closing ----------------------------------------------------------------

void CVelmoraDlg::OnCancel() {
  if (m_pAutoProxy) {
    HideToTray();
    return;
  }
  m_bEnded = true;
  host::QuitLoop();
}

// The close box, Alt+F4 and the window menu's close only hide the window,
// which stays reachable from its icon.
void CVelmoraDlg::OnSysCommandClose() { HideToTray(); }

// Hides the window behind its icon. With no tray to show the icon, the
// window is minimised instead, so that it is never out of reach.
void CVelmoraDlg::HideToTray() {
  bool tray = m_tray && m_tray->Available();
  m_window->ShowWindow(tray ? host::PageWindow::Show::Hide : host::PageWindow::Show::Minimized);
}

void CVelmoraDlg::OnCloseRequest() { OnSysCommandClose(); }

// --- Messages ---------------------------------------------------------------

loop::LRESULT CVelmoraDlg::WindowProc(loop::Message& m) {
  static constexpr loop::MessageMapEntry<CVelmoraDlg> kMessageMap[] = {
      {WM_TRAY_NOTIFY, &CVelmoraDlg::OnTrayNotify},
      {WM_POPUP_CALLJS, &CVelmoraDlg::OnPopupCallJs},
      {WM_TRANSFER_URL, &CVelmoraDlg::OnTransferUrl},
      {loop::WM_TIMER, &CVelmoraDlg::OnTimer},
  };
  return loop::DispatchMessageMap(this, kMessageMap, m).value_or(0);
}

// The icon's mouse messages: the first button shows the window maximised in
// front; the second button's menu is drawn by the tray itself.
loop::LRESULT CVelmoraDlg::OnTrayNotify(loop::Message& m) {
  if (m.lParam == WM_LBUTTONDOWN) {
    m_window->ShowWindow(host::PageWindow::Show::Maximized);
    m_window->BringToFront();
  }
  return 0;
}

void CVelmoraDlg::OnTrayActivate() { SendMessage(WM_TRAY_NOTIFY, 0, WM_LBUTTONDOWN); }

void CVelmoraDlg::OnTrayMenuItem(int id) {
  if (id == IDCANCEL) OnCancel();
}

// A script text from the popup: show the window and hand it to the page.
loop::LRESULT CVelmoraDlg::OnPopupCallJs(loop::Message& m) {
  auto record = loop::Adopt<CallJsRecord>(m);
  if (!record) return 0;
  m_window->ShowWindow(host::PageWindow::Show::Maximized);
  m_strExcuteStr = record->text;
  m_window->PushState({{kExcuteStrKey, codepage::AnsiToUtf8(m_strExcuteStr)}});
  CallPageScript(kRunClientJs, {m_strExcuteStr});
  return 0;
}

// The hand-over address: fetched from the helper once the start page is
// ready, then given to the page. Any failure leaves m_bTransfer set.
loop::LRESULT CVelmoraDlg::OnTransferUrl(loop::Message&) {
  // 1-6. One exchange with the helper: the user name and "+geturl".
  std::optional<std::string> reply = helperlink::FetchTransfer(m_strUserName);
  if (!reply) return 0;
  // The address runs from the reply's first "http://"; the whole reply without one.
  std::size_t at = reply->find(kUrlMarker);
  std::string address = at == std::string::npos ? *reply : reply->substr(at);
  // 7. Done with the helper: show the window in front, maximised.
  m_bTransfer = false;
  m_window->BringToFront();
  m_window->ShowWindow(host::PageWindow::Show::Maximized);
  // 8. The page gets the address, even an empty one.
  CallPageScript(kTransferFunction, {address});
  return 0;
}

// The load watchdog, every 500 ms from initialisation.
loop::LRESULT CVelmoraDlg::OnTimer(loop::Message& m) {
  if (m.wParam != kWatchdogTimer) return 0;
  // 1. Whole seconds since the start page was requested.
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_tStart).count();
  // 2-3. The page complete (or the splash shown long enough): the splash
  // goes, the watchdog stops, a pending hand-over is fetched.
  if (m_window->LoadComplete() || elapsed > kSplashLimitSeconds) {
    m_window->HideCover();
    KillTimer(kWatchdogTimer);
    if (m_bTransfer) loop::PostMessage(hwnd(), WM_TRANSFER_URL);
  }
  // 4. A minute without completion: give up.
  if (elapsed > kGiveUpSeconds) GiveUp();
  return 0;
}

// Starts the helper with "|NAME| |0" and closes by the cancel rule. The
// helper is started once per client, even when the cancel rule only hides
// the window and the watchdog goes on; it is never waited for.
void CVelmoraDlg::GiveUp() {
  if (!m_bHelperStarted) {
    m_bHelperStarted = true;
    process::SpawnUnattended(m_szAppDir + kHelperProgram, {"|" + m_strUserName + "| |0"});
  }
  OnCancel();
}

// --- The page ---------------------------------------------------------------

void CVelmoraDlg::CallPageScript(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> texts;
  for (const std::string& a : args) texts.push_back(codepage::AnsiToUtf8(a));
  m_window->CallPageFunction(name, texts);
}

void CVelmoraDlg::OnExternalCall(int dispid, const std::vector<std::string>& args) {
  struct ExternalAction {
    int dispid;
    void (CVelmoraDlg::*handler)(const std::vector<std::string>&);
  };
  // The actions of kExternalMethods; its getters answer in the page itself.
  static constexpr ExternalAction kActions[] = {
      {2, &CVelmoraDlg::ExternalPMessage},
      {4, &CVelmoraDlg::ExternalAppExit},
      {5, &CVelmoraDlg::ExternalForAutoLogin},
      {7, &CVelmoraDlg::ExternalClearApp},
  };
  for (const ExternalAction& a : kActions)
    if (a.dispid == dispid) (this->*a.handler)(args);
}

void CVelmoraDlg::ExternalPMessage(const std::vector<std::string>& args) {
  ShowPopup(codepage::Utf8ToAnsi(args.empty() ? std::string() : args[0]));
}

void CVelmoraDlg::ExternalAppExit(const std::vector<std::string>&) { OnCancel(); }

void CVelmoraDlg::ExternalForAutoLogin(const std::vector<std::string>&) { RewriteUserDb(); }

// Gives back what the client's processes can spare: the engine's memory
// cache and the free heap pages of this process and of the page's.
void CVelmoraDlg::ExternalClearApp(const std::vector<std::string>&) { m_window->TrimMemory(); }

// A new notice starts over: a new popup window, shown, its text pushed in,
// and its timeline from the beginning.
void CVelmoraDlg::ShowPopup(const std::string& html) {
  // 1. The old window goes, with its timers.
  m_popup.DestroyWindow();
  // 2-3. A new one, shown without taking the focus.
  m_popup.Create();
  m_popup.ShowWindow(true);
  // 4. The notice (shown as soon as the built-in page is ready).
  m_popup.m_strMsg = html;
  m_popup.UpdateData();
  // 5. The timeline.
  m_popup.SetTimer(CPopWindow::kTimerShown, CPopWindow::kShownMs);
}

void CVelmoraDlg::RewriteUserDb() { RewriteUserDbFile(LoginStoreFolder() + kUserDbName, m_bAutoLogin); }

// The client's own folder in a build tree; installed from the package its
// folder is not writable, and the file lives in the user's data folder.
std::string CVelmoraDlg::LoginStoreFolder() const {
  if (m_szAppDir == VELMORA_PACKAGE_PROGRAM_DIR) return files::UserDataFolder(kDataFolderName) + "/";
  return m_szAppDir;
}

void CVelmoraDlg::OnConsoleMessage(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// Element events of the main document: OK does nothing, Cancel minimises.
void CVelmoraDlg::OnElementClick(const std::string& id) {
  if (id == kButtonOK) OnOK();
  if (id == kButtonCancel) m_window->ShowWindow(host::PageWindow::Show::Minimized);
}

void CVelmoraDlg::OnVisibilityChanged() { PushWindowStatus(); }

void CVelmoraDlg::PushWindowStatus() {
  int status = m_window && m_window->IsVisible() ? 1 : 0;
  if (status == m_nPushedStatus) return;
  m_nPushedStatus = status;
  m_window->PushState({{kWindowStatusKey, status}});
}

// --- The home page ------------------------------------------------------------

// The service's home page in either form: its root followed by "/index.html"
// or by "/", compared ignoring case.
bool CVelmoraDlg::IsHomePage(const std::string& address) const {
  const char* env = std::getenv("VELMORA_SERVICE");
  std::string root = env && *env ? env : kDefaultService;
  while (!root.empty() && root.back() == '/') root.pop_back();
  return EqualsNoCaseAscii(address, root + "/index.html") || EqualsNoCaseAscii(address, root + "/");
}

void CVelmoraDlg::OnDocumentComplete(const std::string& address, bool) {
  if (IsHomePage(address)) LeaveToHomePage();
}

// The page went home: the window takes the work area less a margin, fades
// out and closes by the cancel rule.
void CVelmoraDlg::LeaveToHomePage() {
  if (m_bLeaving) return;
  m_bLeaving = true;
  host::Rect area = m_window->WorkArea();
  m_window->MoveResize({area.x + kHomeMargin, area.y + kHomeMargin, area.width - 2 * kHomeMargin,
                        area.height - 2 * kHomeMargin});
  m_window->FadeOut(kHomeFadeMs, [this] {
    m_bLeaving = false;
    OnCancel();
  });
}

}  // namespace velmora
