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
Command CreateTarget(std::string_view url) { return With("Target.createTarget", {{"url", Text(url)}}); }
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

}  // namespace cdp::protocol
