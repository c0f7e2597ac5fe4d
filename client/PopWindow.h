// CPopWindow: the notification popup. A small window of its own at the
// bottom right of the primary monitor's work area, above every other
// window, without frame, task-list entry or focus, showing a notice's HTML
// in its built-in page. It stays while the mouse keeps moving over it and
// fades out otherwise; script in the notice hands a script text back to
// the main page through the popup page's window.external.callJs.
//
// The main window owns one popup object (m_popup) and recreates its window
// for every notice (CVelmoraDlg::ShowPopup).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/PageWindow.h"
#include "platform/loop.h"

namespace velmora {

class CPopWindow : public loop::MessageTarget, public host::PageWindowEvents {
 public:
  // The timers of the display timeline.
  static constexpr loop::WPARAM kTimerShown = 100;  // 50 ms after showing
  static constexpr loop::WPARAM kTimerHold = 101;   // every 15 s: held or fading
  static constexpr loop::WPARAM kTimerFade = 102;   // starts the fade
  static constexpr unsigned kShownMs = 50;
  static constexpr unsigned kHoldMs = 15000;
  static constexpr unsigned kFadeDelayMs = 20;
  static constexpr int kFadeMs = 1000;

  // Placement: from the work area's width and height, and the size.
  static constexpr int kRightOffset = 255, kBottomOffset = 148;
  static constexpr int kWidth = 251, kHeight = 145;
  static constexpr int kCornerEllipse = 10;

  // `owner` receives WM_POPUP_CALLJS (the main window).
  explicit CPopWindow(loop::HWND owner);
  ~CPopWindow() override;

  // Creates the window and its page, placed and shaped (OnInitDialog);
  // it is not shown yet.
  void Create();
  // Destroys the window, its page and its timers; nothing when there is none.
  void DestroyWindow();
  bool HasWindow() const { return m_window != nullptr; }
  void ShowWindow(bool show);
  // The notice's HTML (ANSI code page) into "msgContext": at once when the
  // page is ready, else as soon as it is.
  void UpdateData();

  std::string m_strMsg;     // the notice's HTML
  std::string m_strCallJs;  // the last text received through callJs
  bool m_bMouseIn = false;  // the mouse was over the popup since the last hold check

 private:
  loop::LRESULT WindowProc(loop::Message& m) override;
  loop::LRESULT OnTimer(loop::Message& m);
  void OnOK();
  void Hide();

  // window.external of the popup page, by DISPID.
  void ExternalCallJs(const std::vector<std::string>& args);
  void ExternalMouseOver(const std::vector<std::string>& args);
  void ExternalMouseLeave(const std::vector<std::string>& args);

  // host::PageWindowEvents
  void OnExternalCall(int dispid, const std::vector<std::string>& args) override;
  void OnDocumentComplete(const std::string& address, bool mainFrame) override;
  void OnElementClick(const std::string& id) override;
  void OnMouseMove() override;
  void OnCloseRequest() override {}

  loop::HWND m_owner;
  std::unique_ptr<host::PageWindow> m_window;
  bool m_bPageReady = false;  // the built-in page completed
};

}  // namespace velmora
