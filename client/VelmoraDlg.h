// CVelmoraDlg: the client's one main window. It shows the service's web
// application, is the bridge between that page and the desktop (the
// page's `window.external`, the page functions it calls, the hand-over
// address from the helper), keeps the notification-area icon, and decides
// what closing, minimising and the keys do.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/PopWindow.h"
#include "host/PageWindow.h"
#include "host/TrayIcon.h"
#include "platform/loop.h"

namespace velmora {

class CVelmoraDlgAutoProxy;

class CVelmoraDlg : public loop::MessageTarget, public host::PageWindowEvents, public host::TrayIconEvents {
 public:
  // Window messages of the main window.
  static constexpr loop::UINT WM_TRAY_NOTIFY = loop::WM_USER + 101;
  static constexpr loop::UINT WM_POPUP_CALLJS = loop::WM_USER + 102;
  static constexpr loop::UINT WM_TRANSFER_URL = loop::WM_USER + 112;

  // The mouse messages the notification-area icon reports.
  static constexpr loop::LPARAM WM_LBUTTONDOWN = 0x0201;
  static constexpr loop::LPARAM WM_RBUTTONDOWN = 0x0204;

  // The load watchdog: every 500 ms until the start page completes; the
  // splash goes at completion (or after 90 s at the latest), and after 60 s
  // without completion the client gives up.
  static constexpr loop::WPARAM kWatchdogTimer = 100;
  static constexpr unsigned kWatchdogMs = 500;
  static constexpr int kGiveUpSeconds = 60;
  static constexpr int kSplashLimitSeconds = 90;

  // Command ids: OK, and cancel (also the tray menu's one item).
  static constexpr int IDOK = 1;
  static constexpr int IDCANCEL = 2;

  // The record of WM_POPUP_CALLJS: the script text the popup received.
  struct CallJsRecord : loop::Record {
    std::string text;  // ANSI code page
  };

  // Construction, before any window exists. `commandLine` is the whole
  // line (program path and arguments joined by blanks) in the ANSI code page.
  explicit CVelmoraDlg(std::string commandLine);
  // End of the window: the proxy lets go of it and the helper is told.
  ~CVelmoraDlg() override;

  // Creates the window and runs it until the cancel rule ends the run.
  int DoModal();

  // Enter's handler: does nothing, so Enter never closes the window.
  void OnOK() {}
  // The cancel rule: while an automation caller is linked only hide the
  // window, otherwise end the run (and so the process).
  void OnCancel();

  // Shows a notice in the popup (pMessage); the popup window plugs in here.
  void ShowPopup(const std::string& html);
  // Rewrites the saved-login file with m_bAutoLogin (forAutoLogin); the
  // login store plugs in here.
  void RewriteUserDb();

  // Linked automation proxy, null when none (kept by CVelmoraDlgAutoProxy).
  CVelmoraDlgAutoProxy* m_pAutoProxy = nullptr;

  // Start fields (see CommandLine.h), readable for the parts that plug in.
  const std::string& AppDir() const { return m_szAppDir; }
  const std::string& UserName() const { return m_strUserName; }
  bool AutoLogin() const { return m_bAutoLogin; }

 private:
  // Steps of the window's life, in order.
  int OnCreate();
  bool OnInitDialog();
  void OnDestroy();

  // Message handlers.
  loop::LRESULT WindowProc(loop::Message& m) override;
  loop::LRESULT OnTrayNotify(loop::Message& m);
  loop::LRESULT OnPopupCallJs(loop::Message& m);
  loop::LRESULT OnTransferUrl(loop::Message& m);
  loop::LRESULT OnTimer(loop::Message& m);
  void ShowSplash();
  void GiveUp();
  // The folder of the saved-login file, with its trailing "/".
  std::string LoginStoreFolder() const;
  void OnSysCommandClose();
  void HideToTray();

  // window.external actions, by DISPID.
  void ExternalPMessage(const std::vector<std::string>& args);
  void ExternalAppExit(const std::vector<std::string>& args);
  void ExternalForAutoLogin(const std::vector<std::string>& args);
  void ExternalClearApp(const std::vector<std::string>& args);

  // Calls a global function of the main page with ANSI texts.
  void CallPageScript(const std::string& name, const std::vector<std::string>& args);
  // Pushes the window status the page's getWindowStatus reads.
  void PushWindowStatus();
  bool IsHomePage(const std::string& address) const;
  void LeaveToHomePage();

  // host::PageWindowEvents
  void OnConsoleMessage(const std::string& line) override;
  void OnExternalCall(int dispid, const std::vector<std::string>& args) override;
  void OnDocumentComplete(const std::string& address, bool mainFrame) override;
  void OnElementClick(const std::string& id) override;
  void OnCloseRequest() override;
  void OnPageClose() override {}
  void OnVisibilityChanged() override;

  // host::TrayIconEvents
  void OnTrayActivate() override;
  void OnTrayMenuItem(int id) override;

  std::string m_strCommandLine;
  std::string m_szAppDir;  // the executable's folder, with its trailing "/"
  int m_nUrlPos = -1;
  std::string m_strStartUrl;
  std::string m_strUserName;
  bool m_bAutoLogin = false;
  bool m_bTransfer = false;
  bool m_bFlashInstalled = false;
  std::string m_strExcuteStr;  // the last text handed to runClientJs
  CPopWindow m_popup{hwnd()};   // the notification popup
  bool m_bSplashShown = false;  // the splash was placed
  std::chrono::steady_clock::time_point m_tStart;  // when the start page was requested
  bool m_bHelperStarted = false;  // the give-up started the helper (once per client)

  std::unique_ptr<host::PageWindow> m_window;
  std::unique_ptr<host::TrayIcon> m_tray;
  bool m_bEnded = false;        // the run was ended by the cancel rule
  bool m_bLeaving = false;      // the home page was reached; fading out
  int m_nPushedStatus = -1;     // the last window status pushed to the page

  friend class CVelmoraDlgAutoProxy;
  friend struct ExternalEntry;
};

}  // namespace velmora
