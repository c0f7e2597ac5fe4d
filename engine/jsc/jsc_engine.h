// The JavaScriptCore back end of the engine interface, for pages hosted in
// a WebKitGTK container. It lives in the web process (inside the host
// extension) and works on the frames' script contexts directly: every call
// is a synchronous, re-entrant call on the page's thread.
//
// Frames: the web-process API lists no child frames and does not map
// `window.frames[i]` to a frame. The back end keeps a registry of the
// frames whose window object was set up (the extension registers each one)
// and maps a window to its frame by comparing it with each registered
// frame's global object. A window of another site does not hand out its
// document; its frame's own context does, which is the route windowBrowser
// takes.
#pragma once

#include <jsc/jsc.h>
#include <webkit2/webkit-web-extension.h>

#include "engine/dom.h"

namespace engine::jsc {

// Records a frame whose window object was (re)created. Idempotent; frames
// that go away drop out by themselves.
void RegisterFrame(WebKitFrame* frame);

// The browser that shows a frame: its document is the frame's current
// document (in the frame's own script context), its address the frame's.
com::ComPtr<engine::Browser> BrowserOfFrame(WebKitFrame* frame);

// Values across the script boundary: numbers as double, texts as UTF-8,
// null as com::Null, undefined as empty; other objects as their text.
com::Variant ToVariant(JSCValue* value);
// A new reference.
JSCValue* FromVariant(JSCContext* context, const com::Variant& value);

// Catches script exceptions raised through `context` while it lives, so
// they neither reach the calling script nor get lost.
class CatchScope {
 public:
  explicit CatchScope(JSCContext* context);
  ~CatchScope();
  CatchScope(const CatchScope&) = delete;
  CatchScope& operator=(const CatchScope&) = delete;

  bool thrown() const { return thrown_; }
  const std::string& message() const { return message_; }

 private:
  static void OnException(JSCContext*, JSCException* exception, gpointer self);
  JSCContext* context_;
  bool thrown_ = false;
  std::string message_;
};

}  // namespace engine::jsc
