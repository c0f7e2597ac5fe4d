// The DevTools protocol as this back end speaks it: one function per
// command, with typed parameters, building the command's JSON; and typed
// readers of the replies the back end looks at. Nothing here sends
// anything: a Command goes out through a Connection (or the browser
// process that holds one).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cdp {

// A reply to one command: its "result" member, or why there is none.
struct Reply {
  bool ok = false;
  Json::Value result;     // the "result" member of a reply
  std::string error;      // the protocol's error message, or why there was no reply
  bool timedOut = false;  // no reply came in the time the caller gave
};

namespace protocol {

// One command: its method and its parameters (an object).
struct Command {
  std::string_view method;
  Json::Value params{Json::objectValue};
};

// --- Browser and targets ---
Command GetVersion();
Command CloseBrowser();
Command GetTargets();
Command CreateTarget(std::string_view url);
// Attached in flat mode: the target's commands carry its session id.
Command AttachToTarget(std::string_view targetId);
// The target of the session the command is sent on.
Command GetTargetInfo();
Command CloseTarget(std::string_view targetId);
// Frames and pages the target opens are attached too, each paused until
// RunIfWaitingForDebugger so that it can be set up before its scripts run.
Command SetAutoAttach();
Command RunIfWaitingForDebugger();

// --- Page ---
Command EnablePage();
Command EnableLifecycleEvents();
Command Navigate(std::string_view url);
Command Reload();
Command GetNavigationHistory();
Command NavigateToHistoryEntry(const Json::Value& entryId);
Command GetResourceContent(std::string_view frameId, std::string_view url);
Command AddScriptToEvaluateOnNewDocument(std::string_view source);
Command RemoveScriptToEvaluateOnNewDocument(std::string_view identifier);
// Accepts the dialog showing, with an empty text for a prompt.
Command AcceptDialog();
Command SetViewSize(int width, int height);

// --- Runtime ---
Command EnableRuntime();
// In `contextId`, or in the session's main context when it is 0. With
// `byValue` the result comes as a value, else as a remote object.
Command Evaluate(std::string_view expression, int contextId = 0, bool byValue = false);
// Calls `function` with the remote object `objectId` as `this`.
Command CallFunctionOn(std::string_view objectId, std::string_view function, const Json::Value& args,
                       bool byValue);
// Calls `function` with the document of a context as `this`.
Command CallFunctionOnDocument(int contextId, std::string_view function, const Json::Value& args, bool byValue);
// Calls `function` in the global scope of a context, with text arguments.
Command CallFunctionInContext(int contextId, std::string_view function, const std::vector<std::string>& args);
Command ReleaseObject(std::string_view objectId);
// The frame a frame element shows.
Command DescribeNode(std::string_view objectId);
// Gives the file input `objectId` these local files.
Command SetFileInputFiles(std::string_view objectId, const std::vector<std::string>& paths);

// --- Requests of images and media ---
// Pauses every image and media request, for the reader thread to fail or let go.
Command InterceptMedia();
Command StopIntercepting();
Command FailRequest(const Json::Value& requestId);
Command ContinueRequest(const Json::Value& requestId);

// --- The view: screencast frames and input ---
// Frames of the page as it repaints (none while nothing changes), each
// acknowledged before more than a few follow.
Command StartScreencast(std::string_view format, int quality);
Command StopScreencast();
Command AckScreencastFrame(int frameId);
struct MouseEvent {
  std::string_view type;  // "mouseMoved", "mousePressed", "mouseReleased", "mouseWheel"
  double x = 0, y = 0;
  std::string_view button = "none";  // "left", "middle", "right", "back", "forward"
  int buttons = 0;
  int clickCount = 0;
  double deltaX = 0, deltaY = 0;
  int modifiers = 0;  // Alt 1, Ctrl 2, Meta 4, Shift 8
};
Command DispatchMouseEvent(const MouseEvent& event);
struct KeyEvent {
  std::string_view type;  // "keyDown" (a key that types text), "rawKeyDown", "keyUp"
  std::string_view key, code, text;
  int keyCode = 0;
  int modifiers = 0;
  int location = 0;
  bool autoRepeat = false;
};
Command DispatchKeyEvent(const KeyEvent& event);
// Inserts text where the caret is, as an input method commits it.
Command InsertText(std::string_view text);

// --- Replies ---

// What a script run by Evaluate or CallFunction* gave.
struct ScriptResult {
  enum Outcome { Gone, Threw, Done } outcome = Gone;  // Gone: no reply (the document or browser went)
  Json::Value remote;  // the result as a remote object ("type", "value", "objectId"...)
  // The result's object id; empty for a value, null or undefined.
  std::string objectId() const { return remote["objectId"].asString(); }
  const Json::Value& value() const { return remote["value"]; }
};
ScriptResult ReadScriptResult(const Reply& reply);

struct TargetInfo {
  std::string targetId;
  std::string type;  // "page", "iframe", ...
  bool attached = false;
};
std::vector<TargetInfo> ReadTargets(const Reply& reply);
// The target id of CreateTarget's or GetTargetInfo's reply; empty on failure.
std::string ReadTargetId(const Reply& reply);
std::string ReadSessionId(const Reply& reply);
// The identifier of an added script; empty on failure.
std::string ReadScriptIdentifier(const Reply& reply);
// The frame id of a described node; empty when it shows no frame.
std::string ReadNodeFrameId(const Reply& reply);
// True when the navigation was refused or the site could not be reached.
bool NavigationFailed(const Reply& reply);

struct History {
  struct Entry {
    Json::Value id;
    std::string url;
  };
  std::vector<Entry> entries;
  int current = 0;
};
std::optional<History> ReadHistory(const Reply& reply);

// A resource's content as the browser keeps it: text, or base64 of bytes.
struct ResourceContent {
  std::string content;
  bool base64 = false;
};
std::optional<ResourceContent> ReadResourceContent(const Reply& reply);

// The bytes of a base64 text (characters outside the alphabet are skipped).
std::vector<std::uint8_t> DecodeBase64(std::string_view text);

}  // namespace protocol
}  // namespace cdp
