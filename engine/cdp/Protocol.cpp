#include "engine/cdp/Protocol.h"

namespace cdp::protocol {

namespace {

Command Make(std::string_view method) { return Command{method, Json::Value(Json::objectValue)}; }

Command With(std::string_view method, std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Command c = Make(method);
  for (const auto& [name, value] : members) c.params[name] = value;
  return c;
}

Json::Value Text(std::string_view s) { return Json::Value(std::string(s)); }

// A call argument given by value.
Json::Value Argument(const Json::Value& value) {
  Json::Value a(Json::objectValue);
  a["value"] = value;
  return a;
}

}  // namespace

Command GetVersion() { return Make("Browser.getVersion"); }
Command CloseBrowser() { return Make("Browser.close"); }
Command GetTargets() { return Make("Target.getTargets"); }
// In a window of its own: a tab behind another would be hidden, neither
// painted nor running its timers at full pace.
Command CreateTarget(std::string_view url) {
  return With("Target.createTarget", {{"url", Text(url)}, {"newWindow", true}});
}
Command AttachToTarget(std::string_view targetId) {
  return With("Target.attachToTarget", {{"targetId", Text(targetId)}, {"flatten", true}});
}
Command GetTargetInfo() { return Make("Target.getTargetInfo"); }
Command CloseTarget(std::string_view targetId) { return With("Target.closeTarget", {{"targetId", Text(targetId)}}); }
Command SetAutoAttach() {
  return With("Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}});
}
Command RunIfWaitingForDebugger() { return Make("Runtime.runIfWaitingForDebugger"); }

Command EnablePage() { return Make("Page.enable"); }
Command EnableLifecycleEvents() { return With("Page.setLifecycleEventsEnabled", {{"enabled", true}}); }
Command Navigate(std::string_view url) { return With("Page.navigate", {{"url", Text(url)}}); }
Command Reload() { return Make("Page.reload"); }
Command GetNavigationHistory() { return Make("Page.getNavigationHistory"); }
Command NavigateToHistoryEntry(const Json::Value& entryId) {
  return With("Page.navigateToHistoryEntry", {{"entryId", entryId}});
}
Command GetResourceContent(std::string_view frameId, std::string_view url) {
  return With("Page.getResourceContent", {{"frameId", Text(frameId)}, {"url", Text(url)}});
}
Command AddScriptToEvaluateOnNewDocument(std::string_view source) {
  return With("Page.addScriptToEvaluateOnNewDocument", {{"source", Text(source)}});
}
Command RemoveScriptToEvaluateOnNewDocument(std::string_view identifier) {
  return With("Page.removeScriptToEvaluateOnNewDocument", {{"identifier", Text(identifier)}});
}
Command AcceptDialog() { return With("Page.handleJavaScriptDialog", {{"accept", true}, {"promptText", ""}}); }
Command SetViewSize(int width, int height) {
  return With("Emulation.setDeviceMetricsOverride",
              {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

Command EnableRuntime() { return Make("Runtime.enable"); }

Command Evaluate(std::string_view expression, int contextId, bool byValue) {
  Command c = With("Runtime.evaluate", {{"expression", Text(expression)}});
  if (contextId != 0) c.params["contextId"] = contextId;
  if (byValue) c.params["returnByValue"] = true;
  return c;
}

Command CallFunctionOn(std::string_view objectId, std::string_view function, const Json::Value& args, bool byValue) {
  Json::Value list(Json::arrayValue);
  for (const auto& a : args) list.append(Argument(a));
  return With("Runtime.callFunctionOn", {{"objectId", Text(objectId)},
                                         {"functionDeclaration", Text(function)},
                                         {"arguments", list},
                                         {"returnByValue", byValue}});
}

Command CallFunctionOnDocument(int contextId, std::string_view function, const Json::Value& args, bool byValue) {
  Json::Value list(Json::arrayValue);
  for (const auto& a : args) list.append(Argument(a));
  return With("Runtime.callFunctionOn",
              {{"functionDeclaration", "function(...a) { return (" + std::string(function) + ").apply(document, a); }"},
               {"executionContextId", contextId},
               {"arguments", list},
               {"returnByValue", byValue}});
}

Command CallFunctionInContext(int contextId, std::string_view function, const std::vector<std::string>& args) {
  Json::Value list(Json::arrayValue);
  for (const auto& a : args) list.append(Argument(a));
  return With("Runtime.callFunctionOn", {{"functionDeclaration", Text(function)},
                                         {"executionContextId", contextId},
                                         {"arguments", list},
                                         {"returnByValue", true}});
}

Command ReleaseObject(std::string_view objectId) { return With("Runtime.releaseObject", {{"objectId", Text(objectId)}}); }
Command DescribeNode(std::string_view objectId) { return With("DOM.describeNode", {{"objectId", Text(objectId)}}); }
Command SetFileInputFiles(std::string_view objectId, const std::vector<std::string>& paths) {
  Json::Value list(Json::arrayValue);
  for (const auto& p : paths) list.append(p);
  return With("DOM.setFileInputFiles", {{"objectId", Text(objectId)}, {"files", list}});
}

Command InterceptMedia() {
  Json::Value list(Json::arrayValue);
  for (const char* type : {"Image", "Media"}) {
    Json::Value pattern(Json::objectValue);
    pattern["urlPattern"] = "*";
    pattern["resourceType"] = type;
    pattern["requestStage"] = "Request";
    list.append(pattern);
  }
  return With("Fetch.enable", {{"patterns", list}});
}
Command StopIntercepting() { return Make("Fetch.disable"); }
Command FailRequest(const Json::Value& requestId) {
  return With("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "BlockedByClient"}});
}
Command ContinueRequest(const Json::Value& requestId) {
  return With("Fetch.continueRequest", {{"requestId", requestId}});
}

Command StartScreencast(std::string_view format, int quality) {
  return With("Page.startScreencast", {{"format", Text(format)}, {"quality", quality}, {"everyNthFrame", 1}});
}
Command StopScreencast() { return Make("Page.stopScreencast"); }
Command AckScreencastFrame(int frameId) { return With("Page.screencastFrameAck", {{"sessionId", frameId}}); }

Command DispatchMouseEvent(const MouseEvent& e) {
  Command c = With("Input.dispatchMouseEvent", {{"type", Text(e.type)},
                                                {"x", e.x},
                                                {"y", e.y},
                                                {"button", Text(e.button)},
                                                {"buttons", e.buttons},
                                                {"clickCount", e.clickCount},
                                                {"modifiers", e.modifiers}});
  if (e.type == "mouseWheel") {
    c.params["deltaX"] = e.deltaX;
    c.params["deltaY"] = e.deltaY;
  }
  return c;
}

Command DispatchKeyEvent(const KeyEvent& e) {
  Command c = With("Input.dispatchKeyEvent", {{"type", Text(e.type)},
                                              {"key", Text(e.key)},
                                              {"code", Text(e.code)},
                                              {"windowsVirtualKeyCode", e.keyCode},
                                              {"modifiers", e.modifiers},
                                              {"location", e.location},
                                              {"autoRepeat", e.autoRepeat}});
  if (!e.text.empty()) {
    c.params["text"] = Text(e.text);
    c.params["unmodifiedText"] = Text(e.text);
  }
  return c;
}

Command InsertText(std::string_view text) { return With("Input.insertText", {{"text", Text(text)}}); }

ScriptResult ReadScriptResult(const Reply& reply) {
  ScriptResult r;
  if (!reply.ok) return r;
  r.outcome = reply.result.isMember("exceptionDetails") ? ScriptResult::Threw : ScriptResult::Done;
  r.remote = reply.result["result"];
  return r;
}

std::vector<TargetInfo> ReadTargets(const Reply& reply) {
  std::vector<TargetInfo> targets;
  if (!reply.ok) return targets;
  for (const auto& t : reply.result["targetInfos"])
    targets.push_back({t["targetId"].asString(), t["type"].asString(), t["attached"].asBool()});
  return targets;
}

std::string ReadTargetId(const Reply& reply) {
  if (!reply.ok) return {};
  if (reply.result.isMember("targetInfo")) return reply.result["targetInfo"]["targetId"].asString();
  return reply.result["targetId"].asString();
}

std::string ReadSessionId(const Reply& reply) { return reply.ok ? reply.result["sessionId"].asString() : std::string(); }

std::string ReadScriptIdentifier(const Reply& reply) {
  return reply.ok ? reply.result["identifier"].asString() : std::string();
}

std::string ReadNodeFrameId(const Reply& reply) {
  return reply.ok ? reply.result["node"]["frameId"].asString() : std::string();
}

bool NavigationFailed(const Reply& reply) { return !reply.ok || !reply.result["errorText"].asString().empty(); }

std::optional<History> ReadHistory(const Reply& reply) {
  if (!reply.ok) return std::nullopt;
  History h;
  h.current = reply.result["currentIndex"].asInt();
  for (const auto& e : reply.result["entries"]) h.entries.push_back({e["id"], e["url"].asString()});
  return h;
}

std::optional<ResourceContent> ReadResourceContent(const Reply& reply) {
  if (!reply.ok) return std::nullopt;
  return ResourceContent{reply.result["content"].asString(), reply.result["base64Encoded"].asBool()};
}

std::vector<std::uint8_t> DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
    }
  }
  return out;
}

}  // namespace cdp::protocol
