// The view of a page browser: the page painted into a box of the hosting
// page and driven by the box's input (engine/view.h), on the protocol's own
// facilities:
// - screencast frames, which the browser sends only when the page repaints,
//   each acknowledged once the box has drawn it (so at most a couple are
//   ever on their way, and an idle page costs nothing);
// - input dispatch for the mouse, keys and committed text;
// - the page's size, which already follows the control's area
//   (Browser::SetViewSize), so frames come at the box's size.
// The screencast runs only while the box is shown, on the page's present
// target, and starts again on the new target after the browser died. A
// started screencast sends the page's present picture at once; one that
// stays silent (a start that met the page's first document being
// replaced can stay so for good) is started again, a few times, with
// longer pauses, so an idle site soon costs nothing.
// Nothing here waits for the page except reading its selection for a copy.
#pragma once

#include <memory>
#include <string>

#include "engine/cdp/Connection.h"
#include "platform/loop.h"
#include "engine/view.h"

namespace cdp {

class PageImpl;

class Screencast final : public engine::ViewSink {
 public:
  // Connects to the box, which tells at once whether it is shown.
  Screencast(PageImpl& page, com::ComPtr<engine::ViewBox> box);
  // Disconnects from the box and stops the screencast.
  ~Screencast();
  Screencast(const Screencast&) = delete;
  Screencast& operator=(const Screencast&) = delete;

  // The page has a new target with its session (set up, ready for commands).
  void OnTargetReady() { Update(); }
  // The page's target went away; so did its screencast.
  void OnTargetGone() { running_ = false; }
  // A "Page.screencastFrame" event of one of the page's sessions.
  void OnFrame(const Event& e);

  // --- engine::ViewSink ---
  void OnShown(bool shown) override;
  void OnPainted(int frameId) override;
  void OnMouse(const engine::MouseInput& input) override;
  void OnKey(const engine::KeyInput& input) override;
  void OnText(std::string_view text) override;
  std::string SelectedText() override;

 private:
  // Starts or stops the screencast so that it runs exactly while the box is shown.
  void Update();
  void Send(const protocol::Command& command);
  // Starts the screencast, and waits for its first frame.
  void Start();
  // No frame came since the last start: start again.
  void OnSilent();
  // Reads the cursor of the site under the mouse, one question at a time.
  void AskCursor();

  PageImpl& page_;
  com::ComPtr<engine::ViewBox> box_;
  // Replies that come after the view went find this expired.
  std::shared_ptr<int> token_ = std::make_shared<int>(0);
  bool shown_ = false;
  bool running_ = false;  // started on the page's present target
  bool framed_ = false;   // a frame came since the last start
  int restarts_ = 0;      // starts again since the box was shown
  loop::FunctionTarget timer_;
  double mouseX_ = 0, mouseY_ = 0;
  bool cursorAsked_ = false;  // a question is on its way
  bool cursorStale_ = false;  // the mouse moved since it was asked
  std::string cursor_;
};

}  // namespace cdp
