#include "engine/cdp/BrowserProcess.h"

#include <cstdio>
#include <cstdlib>

#include "engine/cdp/Page.h"

namespace cdp {

namespace {

constexpr loop::UINT WM_CDP_REAP = loop::WM_USER + 0x101;

// Commands that the page's own thread answers: they wait while it runs a
// script or lays out its document.
constexpr std::string_view kAnsweredByThePage[] = {
    "Runtime.evaluate",
    "Runtime.callFunctionOn",
    "DOM.describeNode",
    "DOM.setFileInputFiles",
    "Page.getResourceContent",
};

bool AnsweredByThePage(std::string_view method) {
  for (std::string_view m : kAnsweredByThePage)
    if (m == method) return true;
  return false;
}

// VELMORA_CDP_TRACE=1 prints every event a page receives to standard error.
void Trace(const Event& e) {
  if (!std::getenv("VELMORA_CDP_TRACE")) return;
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  std::fprintf(stderr, "[cdp] %s %s %s\n", e.sessionId.substr(0, 6).c_str(), e.method.c_str(),
               Json::writeString(w, e.params).substr(0, 300).c_str());
}

}  // namespace

BrowserProcess::BrowserProcess(loop::Loop& loop)
    : loop_(loop),
      // Ends the connections of browsers that died, once their reader has let go.
      reaper_(std::make_unique<loop::FunctionTarget>(loop, [this](loop::Message& m) -> loop::LRESULT {
        if (m.msg == WM_CDP_REAP) graveyard_.clear();
        return 0;
      })) {}

BrowserProcess::~BrowserProcess() {
  // The reader stops calling in before what it calls goes, and the
  // browser ends while the rest of this object still exists.
  if (conn_) {
    conn_->SetInterceptor(nullptr);
    conn_->SetEventSink(nullptr);
  }
  answerer_.reset();
  conn_.reset();
}

std::shared_ptr<BrowserProcess> BrowserProcess::Get(loop::Loop& loop) {
  static std::weak_ptr<BrowserProcess> instance;
  auto p = instance.lock();
  if (!p) {
    p = std::make_shared<BrowserProcess>(loop);
    instance = p;
  }
  return p;
}

Reply BrowserProcess::Call(int generation, const protocol::Command& command, std::string_view session,
                           int timeoutMs) {
  Reply r;
  if (!Alive(generation)) {
    r.error = "the browser is gone";
    return r;
  }
  // Commands of the browser itself, and set-up commands, wait as long as asked.
  std::shared_ptr<PageSettings> page;
  if (!session.empty() && AnsweredByThePage(command.method)) page = EntryOf(std::string(session)).settings;
  if (!page) return conn_->Call(command, session, timeoutMs);
  // A page known not to answer is not waited for again.
  if (!MayAnswer(generation, session, *page)) {
    r.error = "the page does not answer";
    return r;
  }
  r = conn_->Call(command, session, std::min(timeoutMs, kPageAnswerMs));
  if (r.timedOut) {
    page->unanswering = true;
    page->lastCheck = std::chrono::steady_clock::now();
  }
  return r;
}

bool BrowserProcess::MayAnswer(int generation, std::string_view session, PageSettings& page) {
  if (!page.unanswering) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - page.lastCheck < std::chrono::milliseconds(kRecheckEveryMs)) return false;
  page.lastCheck = now;
  if (!Probe(generation, session, kRecheckWaitMs)) return false;
  page.unanswering = false;
  return true;
}

bool BrowserProcess::Answers(int generation, std::string_view session, bool known) {
  std::shared_ptr<PageSettings> page = EntryOf(std::string(session)).settings;
  const bool marked = known || (page && page->unanswering);
  const bool answers = Probe(generation, session, marked ? kRecheckWaitMs : kPageAnswerMs);
  if (page) {
    page->unanswering = !answers;
    page->lastCheck = std::chrono::steady_clock::now();
  }
  return answers;
}

bool BrowserProcess::MayAskPage(int generation, std::string_view session) {
  std::shared_ptr<PageSettings> page = EntryOf(std::string(session)).settings;
  if (!page) return Alive(generation);
  if (page->unanswering) return MayAnswer(generation, session, *page);
  if (Probe(generation, session, kPageAnswerMs)) return true;
  page->unanswering = true;
  page->lastCheck = std::chrono::steady_clock::now();
  return false;
}

bool BrowserProcess::Probe(int generation, std::string_view session, int waitMs) {
  if (!Alive(generation)) return false;
  return !conn_->Call(protocol::Evaluate("0"), session, waitMs).timedOut && Alive(generation);
}

void BrowserProcess::Send(int generation, const protocol::Command& command, std::string_view session) {
  if (Alive(generation)) conn_->Send(command, session);
}

bool BrowserProcess::CallAsync(int generation, const protocol::Command& command, std::string_view session,
                               Connection::ReplyHandler handler) {
  return Alive(generation) && conn_->CallAsync(command, session, std::move(handler));
}

void BrowserProcess::RemovePage(PageImpl* page) {
  pages_.erase(page);
  for (auto it = routes_.begin(); it != routes_.end();) it = it->second == page ? routes_.erase(it) : std::next(it);
  std::lock_guard lock(settingsMutex_);
  for (auto it = settings_.begin(); it != settings_.end();)
    it = it->second.page == page ? settings_.erase(it) : std::next(it);
}

void BrowserProcess::AddSession(const std::string& session, PageImpl* page, std::shared_ptr<PageSettings> settings) {
  routes_[session] = page;
  std::lock_guard lock(settingsMutex_);
  settings_[session] = {page, std::move(settings)};
}

void BrowserProcess::RemoveSession(const std::string& session) {
  routes_.erase(session);
  std::lock_guard lock(settingsMutex_);
  settings_.erase(session);
}

bool BrowserProcess::Ensure() {
  if (Alive()) return true;
  // The old browser: its reader may still be delivering this very event,
  // so its connection is ended later, outside its own callbacks.
  if (conn_) conn_->SetInterceptor(nullptr);
  answerer_.reset();
  if (conn_) {
    conn_->SetEventSink(nullptr);
    graveyard_.push_back(std::move(conn_));
    loop::PostMessage(reaper_->hwnd(), WM_CDP_REAP);
  }
  // Nothing of the old generation stays routed.
  routes_.clear();
  {
    std::lock_guard lock(settingsMutex_);
    settings_.clear();
  }
  for (PageImpl* page : pages_) page->OnBrowserGone();
  // A new browser, with its dialog answerer and its two event paths.
  std::string error;
  conn_ = Connection::Launch(loop_, LaunchOptions::FromEnvironment(), &error);
  if (!conn_) return false;
  const int generation = ++generation_;
  firstTabFree_ = true;
  answerer_ = std::make_unique<DialogAnswerer>(*conn_);
  conn_->SetInterceptor([this, answerer = answerer_.get()](Connection& c, const Event& e) {
    if (e.method == "Page.javascriptDialogOpening" && Silent(e.sessionId)) {
      answerer->Opened(e.sessionId);
      return true;
    }
    if (e.method == "Page.javascriptDialogClosed") answerer->Closed(e.sessionId);
    return Intercept(c, e);
  });
  conn_->SetEventSink([this, generation](const Event& e) { OnEvent(generation, e); });
  return true;
}

bool BrowserProcess::TakeFirstTab(std::string* targetId) {
  if (!firstTabFree_) return false;
  firstTabFree_ = false;
  for (const auto& t : protocol::ReadTargets(conn_->Call(protocol::GetTargets()))) {
    if (t.type == "page" && !t.attached) {
      *targetId = t.targetId;
      return true;
    }
  }
  return false;
}

void BrowserProcess::OnEvent(int generation, const Event& e) {
  if (generation != generation_) return;
  Trace(e);
  if (e.method == "Connection.closed") {
    for (PageImpl* page : pages_) page->OnBrowserGone();
    routes_.clear();
    return;
  }
  auto it = routes_.find(e.sessionId);
  if (it == routes_.end()) return;
  PageImpl* page = it->second;
  // A child session the reader thread set up belongs to the same page.
  if (e.method == "Target.attachedToTarget") {
    const std::string child = e.params["sessionId"].asString();
    if (EntryOf(child).settings) routes_[child] = page;
  }
  page->OnEvent(e);
}

BrowserProcess::SessionEntry BrowserProcess::EntryOf(const std::string& session) {
  std::lock_guard lock(settingsMutex_);
  auto it = settings_.find(session);
  return it == settings_.end() ? SessionEntry{} : it->second;
}

bool BrowserProcess::Silent(const std::string& session) {
  std::shared_ptr<PageSettings> settings = EntryOf(session).settings;
  if (!settings) return true;
  std::lock_guard lock(settings->mutex);
  return settings->silent;
}

bool BrowserProcess::Intercept(Connection& c, const Event& e) {
  SessionEntry entry = EntryOf(e.sessionId);
  // A paused image or media request: failed while the page loads no images.
  if (e.method == "Fetch.requestPaused") {
    bool block = true;
    if (entry.settings) {
      std::lock_guard lock(entry.settings->mutex);
      block = entry.settings->blockMedia;
    }
    const Json::Value& requestId = e.params["requestId"];
    c.Send(block ? protocol::FailRequest(requestId) : protocol::ContinueRequest(requestId), e.sessionId);
    return true;
  }
  // A frame or page of one of our pages: set up, then let go.
  if (e.method == "Target.attachedToTarget") {
    const std::string child = e.params["sessionId"].asString();
    const std::string type = e.params["targetInfo"]["type"].asString();
    if (entry.settings && (type == "iframe" || type == "page")) SetUpChild(c, child, entry);
    c.Send(protocol::RunIfWaitingForDebugger(), child);
    return false;
  }
  if (e.method == "Target.detachedFromTarget") {
    std::lock_guard lock(settingsMutex_);
    settings_.erase(e.params["sessionId"].asString());
  }
  return false;
}

void BrowserProcess::SetUpChild(Connection& c, const std::string& child, const SessionEntry& parent) {
  {
    std::lock_guard lock(settingsMutex_);
    settings_[child] = parent;
  }
  bool block;
  std::string script;
  {
    std::lock_guard lock(parent.settings->mutex);
    block = parent.settings->blockMedia;
    script = parent.settings->script;
  }
  c.Send(protocol::EnablePage(), child);
  c.Send(protocol::EnableRuntime(), child);
  c.Send(protocol::EnableLifecycleEvents(), child);
  c.Send(protocol::SetAutoAttach(), child);
  if (block) c.Send(protocol::InterceptMedia(), child);
  if (script.empty()) return;
  const int generation = generation_;
  c.CallAsync(protocol::AddScriptToEvaluateOnNewDocument(script), child,
              [this, generation, child](const Reply& r) {
                if (!r.ok || generation != generation_) return;
                auto it = routes_.find(child);
                if (it != routes_.end()) it->second->OnChildScriptAdded(child, protocol::ReadScriptIdentifier(r));
              });
}

}  // namespace cdp
