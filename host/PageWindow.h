// A top-level window that shows service pages: one web view with the host
// extension (pages can create controls), the page bridge of host/messages.h,
// and the window operations its owner needs. Every program whose windows
// show service pages builds them from this class; no toolkit type appears
// here, so the programs' own code stays free of them.
//
// Everything runs on the UI thread. The UI process never waits for the web
// process: page calls, state pushes and function calls are messages.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace host {

// One method of a window's `window.external`; its DISPID is its 1-based
// position in the window's table. A getter answers in the web process from
// the state pushed under `stateKey`; an action (no key) reaches the owner's
// OnExternalCall.
struct ExternalMethod {
  const char* name;
  const char* stateKey;  // null: an action
};

using StateValue = std::variant<int, std::string>;  // texts in UTF-8
using State = std::vector<std::pair<std::string, StateValue>>;

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// What a window tells its owner. Texts are UTF-8.
class PageWindowEvents {
 public:
  virtual ~PageWindowEvents() = default;
  virtual void OnConsoleMessage(const std::string& /*line*/) {}
  virtual void OnExternalCall(int /*dispid*/, const std::vector<std::string>& /*args*/) {}
  // A box raised by a control of the page; false (the default) lets the
  // window show it as a dialog of its own.
  virtual bool OnMessageBox(const std::string& /*caption*/, const std::string& /*text*/, unsigned /*style*/) {
    return false;
  }
  // Any frame's document completed.
  virtual void OnDocumentComplete(const std::string& /*address*/, bool /*mainFrame*/) {}
  virtual void OnElementClick(const std::string& /*id*/) {}
  // The main frame's load ended (the page's load event and its resources).
  virtual void OnLoadFinished() {}
  // The main frame could not be loaded (a navigation the page cancelled
  // itself does not count).
  virtual void OnLoadFailed(const std::string& /*address*/, const std::string& /*reason*/) {}
  virtual void OnWebProcessEnded(bool /*crashed*/) {}
  // The window system asked to close the window (close box, Alt+F4, the
  // window menu). The window stays as it is unless the owner acts.
  virtual void OnCloseRequest() {}
  // The page called window.close().
  virtual void OnPageClose() {}
  // Shown, hidden, minimised or restored.
  virtual void OnVisibilityChanged() {}
  // The pointer moved over the window (its page included).
  virtual void OnMouseMove() {}
};

// Where a window's own pages come from: addresses of `scheme` (e.g.
// "velmora-res:///popup.html") are served from the program's built-in
// resources below `resourcePrefix` (e.g. "/velmora/popup"); nothing of
// them is read from the network or the disk.
struct BuiltInPages {
  std::string scheme;
  std::string resourcePrefix;
};

struct PageWindowSettings {
  std::string title;
  int width = 1024, height = 768;
  bool resizable = true;
  bool centered = false;  // first shown in the middle of the screen
  bool mainIcon = false;  // the program's main icon as the window's icon
  std::span<const ExternalMethod> external;  // empty: no window.external
  State initialState;
  std::vector<std::string> clickIds;  // main-document elements whose clicks are reported
  BuiltInPages builtIn;               // empty scheme: none
  // A notice window: no frame, above every other window, in no task list,
  // never taking the focus, and minimising it does nothing.
  bool notice = false;
};

class PageWindow {
 public:
  // The window is created hidden.
  PageWindow(const PageWindowSettings& settings, PageWindowEvents* events);
  ~PageWindow();
  PageWindow(const PageWindow&) = delete;
  PageWindow& operator=(const PageWindow&) = delete;

  void Load(const std::string& address);
  // New values for the getters; a getter called after this sees them.
  void PushState(const State& values);
  // Calls a global function of the main page with text arguments (skipped
  // when the page has none); ordered after every earlier push.
  void CallPageFunction(const std::string& name, const std::vector<std::string>& args);
  // Gives back what the page's web process and this process can spare:
  // the engine's memory cache, free heap pages of both processes.
  void TrimMemory();

  enum class Show { Hide, Normal, Maximized, Minimized };
  void ShowWindow(Show how);
  // Raises the window and gives it the focus.
  void BringToFront();
  bool IsVisible() const;    // mapped and not minimised
  bool IsMinimized() const;
  void SetResizable(bool resizable);
  // The work area of the window's monitor (the screen less panels).
  Rect WorkArea() const;
  // The window's shape: its rectangle, one pixel larger each way, with
  // corners cut as ellipses of this width and height; kept as it resizes.
  void SetRoundedShape(int ellipse);
  void MoveResize(const Rect& rect);
  // Lowers the opacity step by step over `ms`, hides the window, then runs
  // `done` (on the UI thread, from the loop).
  void FadeOut(int ms, std::function<void()> done);
  // Covers the window's page with a picture of the built-in resources
  // (scaled to cover, centred) until HideCover; false, with nothing
  // covered, when the picture is missing or cannot be decoded.
  bool ShowCover(const std::string& resourcePath);
  void HideCover();
  bool CoverShown() const;
  // The main frame's last load has ended (finished, or failed and the
  // engine's error page shown) and no other load runs.
  bool LoadComplete() const;
  // Puts a text of HTML (UTF-8) into the main document's element with this
  // id, replacing its content; the scripts it holds run, in order.
  void SetElementHtml(const std::string& id, const std::string& html);
  // A dialog owned by this window, not blocking anything.
  void ShowMessageBox(const std::string& caption, const std::string& text, unsigned style);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The work area of the primary monitor (the first one when none is primary).
Rect PrimaryWorkArea();

// Opens the display; false (with nothing shown) when it cannot be opened.
bool OpenDisplay(int* argc, char*** argv);
// Runs the UI loop until QuitLoop.
void RunLoop();
void QuitLoop();

// Where the host extension is: $VELMORA_HOST_EXTENSION_DIR, else the
// program's own folder when the extension is there (an installed package
// keeps everything in one folder), else lib/ beside the program's bin/.
std::string ExtensionDirectory();

// Gives free heap pages of this process back to the system.
void TrimProcessMemory();

}  // namespace host
