#include "engine/cdp/Screencast.h"

#include <cstdio>

#include "engine/cdp/InputDispatch.h"
#include "engine/cdp/Page.h"

namespace cdp {

namespace {

// JPEG at this quality: text stays legible and a frame of 800 x 600 is
// encoded, carried and decoded well within a frame's time.
constexpr char kFrameFormat[] = "jpeg";
constexpr char kFrameMimeType[] = "image/jpeg";
constexpr int kFrameQuality = 85;

// Reading the selection for a copy waits this long at most: a busy site
// must not hold the hosting page.
constexpr int kSelectionTimeoutMs = 1000;

// A start's first frame comes within a frame's time or two; one that has
// not come after this long will not. Later waits double, up to a few starts.
constexpr loop::WPARAM kSilenceTimer = 1;
constexpr unsigned kFirstFrameWaitMs = 1000;
constexpr int kMaxRestarts = 4;

// The text a person would copy: the selected part of the focused input or
// text area (never of a password), else the document's selection, looked
// for in the frame that has the focus.
constexpr char kSelectionScript[] = R"JS((function() {
  var d = document;
  for (;;) {
    var a = d.activeElement;
    if (a && (a.tagName === 'IFRAME' || a.tagName === 'FRAME')) {
      var inner = null;
      try { inner = a.contentDocument; } catch (e) {}
      if (inner) { d = inner; continue; }
    }
    if (a && (a.tagName === 'TEXTAREA' || a.tagName === 'INPUT')) {
      if (a.type === 'password') return '';
      try {
        if (a.selectionEnd > a.selectionStart) return a.value.substring(a.selectionStart, a.selectionEnd);
      } catch (e) {}
    }
    return d.getSelection ? String(d.getSelection()) : '';
  }
})())JS";

// The cursor the site shows at a point (x, y follow), looked for through
// frames of its own process: the element's own cursor, else what a
// browser shows for its kind (a link's hand, a text field's beam). A
// cursor with pictures gives its last fallback keyword.
constexpr char kCursorScript[] = R"JS((function(x, y) {
  var d = document, e = null;
  for (;;) {
    e = d.elementFromPoint(x, y);
    if (!e) return 'default';
    if (e.tagName !== 'IFRAME' && e.tagName !== 'FRAME') break;
    var inner = null;
    try { inner = e.contentDocument; } catch (err) {}
    if (!inner) break;
    var r = e.getBoundingClientRect();
    x -= r.left + e.clientLeft;
    y -= r.top + e.clientTop;
    d = inner;
  }
  var c = String(d.defaultView.getComputedStyle(e).cursor).split(',').pop().trim();
  if (c && c !== 'auto') return c;
  if (e.closest('a[href]')) return 'pointer';
  if (e.isContentEditable || e.tagName === 'TEXTAREA' ||
      (e.tagName === 'INPUT' && !/^(button|submit|reset|checkbox|radio|image|range|color|file|hidden)$/i.test(e.type)))
    return 'text';
  return 'default';
}))JS";

}  // namespace

Screencast::Screencast(PageImpl& page, com::ComPtr<engine::ViewBox> box)
    : page_(page), box_(std::move(box)), timer_(page.loop(), [this](loop::Message& m) -> loop::LRESULT {
        if (m.msg == loop::WM_TIMER && m.wParam == kSilenceTimer) OnSilent();
        return 0;
      }) {
  box_->Connect(this);
}

Screencast::~Screencast() {
  box_->Connect(nullptr);
  shown_ = false;
  Update();
}

void Screencast::Send(const protocol::Command& command) {
  if (page_.Live()) page_.process()->Send(page_.generation(), command, page_.session());
}

void Screencast::Update() {
  const bool wanted = shown_ && page_.Live();
  if (wanted == running_) return;
  running_ = wanted;
  if (wanted) {
    restarts_ = 0;
    Start();
  } else {
    timer_.KillTimer(kSilenceTimer);
    Send(protocol::StopScreencast());
  }
}

void Screencast::Start() {
  framed_ = false;
  Send(protocol::StartScreencast(kFrameFormat, kFrameQuality));
  timer_.SetTimer(kSilenceTimer, kFirstFrameWaitMs << restarts_);
}

void Screencast::OnSilent() {
  timer_.KillTimer(kSilenceTimer);
  if (!running_ || framed_ || restarts_ >= kMaxRestarts) return;
  ++restarts_;
  Send(protocol::StopScreencast());
  Start();
}

void Screencast::OnFrame(const Event& e) {
  const int id = e.params["sessionId"].asInt();
  // Frames of an earlier target, or that come after the box was hidden,
  // are let go unseen.
  if (e.sessionId != page_.session() || !running_) {
    if (e.sessionId == page_.session()) Send(protocol::AckScreencastFrame(id));
    return;
  }
  framed_ = true;
  timer_.KillTimer(kSilenceTimer);
  const std::vector<std::uint8_t> bytes = protocol::DecodeBase64(e.params["data"].asString());
  const Json::Value& metadata = e.params["metadata"];
  engine::ViewFrame frame;
  frame.id = id;
  frame.mimeType = kFrameMimeType;
  frame.bytes = bytes;
  frame.width = static_cast<int>(metadata["deviceWidth"].asDouble() + 0.5);
  frame.height = static_cast<int>(metadata["deviceHeight"].asDouble() + 0.5);
  // The box acknowledges through OnPainted; a frame it refuses is let go at once.
  if (bytes.empty() || com::Failed(box_->Paint(frame))) Send(protocol::AckScreencastFrame(id));
}

// --- engine::ViewSink ---------------------------------------------------------

void Screencast::OnShown(bool shown) {
  shown_ = shown;
  Update();
}

void Screencast::OnPainted(int frameId) {
  if (running_) Send(protocol::AckScreencastFrame(frameId));
}

void Screencast::OnMouse(const engine::MouseInput& input) {
  Send(MouseCommand(input));
  if (input.kind == engine::MouseInput::Leave) return;
  mouseX_ = input.x;
  mouseY_ = input.y;
  AskCursor();
}

void Screencast::OnKey(const engine::KeyInput& input) { Send(KeyCommand(input)); }

void Screencast::OnText(std::string_view text) {
  if (!text.empty()) Send(protocol::InsertText(text));
}

std::string Screencast::SelectedText() {
  if (!page_.Live()) return {};
  const protocol::ScriptResult r = protocol::ReadScriptResult(page_.process()->Call(
      page_.generation(), protocol::Evaluate(kSelectionScript, 0, true), page_.session(), kSelectionTimeoutMs));
  return r.outcome == protocol::ScriptResult::Done ? r.value().asString() : std::string();
}

void Screencast::AskCursor() {
  if (cursorAsked_) {
    cursorStale_ = true;
    return;
  }
  if (!page_.Live()) return;
  char call[64];
  std::snprintf(call, sizeof call, "(%.1f,%.1f)", mouseX_, mouseY_);
  std::weak_ptr<int> token = token_;
  cursorAsked_ = page_.process()->CallAsync(
      page_.generation(), protocol::Evaluate(std::string(kCursorScript) + call, 0, true), page_.session(),
      [this, token](const Reply& reply) {
        if (token.expired()) return;
        cursorAsked_ = false;
        const protocol::ScriptResult r = protocol::ReadScriptResult(reply);
        if (r.outcome == protocol::ScriptResult::Done && r.value().isString() && r.value().asString() != cursor_) {
          cursor_ = r.value().asString();
          box_->SetCursor(cursor_);
        }
        // The mouse moved on meanwhile: ask again where it is now.
        if (cursorStale_) {
          cursorStale_ = false;
          AskCursor();
        }
      });
}

}  // namespace cdp
