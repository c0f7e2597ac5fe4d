#include "engine/cdp/Page.h"

#include "engine/cdp/Document.h"

namespace cdp {

namespace {

// What a failed navigation reports as its status (the resource was not found).
constexpr std::int32_t kNavigateErrorStatus = static_cast<std::int32_t>(0x800C0005);
constexpr char kBlankPage[] = "about:blank";
// The timer of a navigation whose site has answered and that has not committed yet.
constexpr loop::WPARAM kCommitTimer = 1;

template <typename Map>
void EraseSession(Map& contexts, const std::string& session) {
  for (auto it = contexts.begin(); it != contexts.end();)
    it = it->second.session == session ? contexts.erase(it) : std::next(it);
}

}  // namespace

const PageImpl::EventEntry PageImpl::kEvents[] = {
    {"Runtime.executionContextCreated", &PageImpl::OnContextCreated},
    {"Runtime.executionContextDestroyed", &PageImpl::OnContextDestroyed},
    {"Runtime.executionContextsCleared", &PageImpl::OnContextsCleared},
    {"Page.frameNavigated", &PageImpl::OnFrameNavigated},
    {"Page.navigatedWithinDocument", &PageImpl::OnNavigatedWithinDocument},
    {"Page.lifecycleEvent", &PageImpl::OnLifecycleEvent},
    {"Page.frameRequestedNavigation", &PageImpl::OnFrameRequestedNavigation},
    {"Page.frameDetached", &PageImpl::OnFrameDetached},
    {"Target.attachedToTarget", &PageImpl::OnAttachedToTarget},
    {"Target.detachedFromTarget", &PageImpl::OnDetachedFromTarget},
    {"Inspector.targetCrashed", &PageImpl::OnTargetGone},
    {"Inspector.detached", &PageImpl::OnTargetGone},
    {"Page.screencastFrame", &PageImpl::OnScreencastFrame},
};

PageImpl::PageImpl(loop::Loop& loop)
    : process_(BrowserProcess::Get(loop)), settings_(std::make_shared<PageSettings>()),
      watch_(std::make_unique<loop::FunctionTarget>(loop, [this](loop::Message& m) -> loop::LRESULT {
        if (m.msg == loop::WM_TIMER) OnCommitOverdue();
        return 0;
      })) {
  process_->AddPage(this);
}

PageImpl::~PageImpl() {
  view_.reset();
  if (Live()) process_->Send(generation_, protocol::CloseTarget(targetId_), {});
  process_->RemovePage(this);
}

com::HRESULT PageImpl::QueryInterface(const com::IID& iid, void** out) {
  if (iid == com::IID_IUnknown || iid == engine::IID_Browser) return Give<engine::Browser>(this, out);
  return NoInterface(out);
}

// --- engine::Browser --------------------------------------------------------

com::HRESULT PageImpl::get_LocationURL(std::string* url) {
  *url = Live() ? url_ : std::string();
  return com::S_OK;
}

com::HRESULT PageImpl::get_ReadyState(std::int32_t* state) {
  *state = engine::READYSTATE_UNINITIALIZED;
  com::ComPtr<engine::Document> doc;
  get_Document(doc.Put());
  if (!doc) return com::S_OK;
  std::string text;
  if (com::Failed(doc->get_readyState(&text))) return com::S_OK;
  if (text == "loading") *state = engine::READYSTATE_LOADING;
  else if (text == "interactive") *state = engine::READYSTATE_INTERACTIVE;
  else if (text == "complete") *state = engine::READYSTATE_COMPLETE;
  return com::S_OK;
}

com::HRESULT PageImpl::Navigate(std::string_view address) {
  // A copy first: the address may be lastUrl_ itself (a reload after the
  // browser died), which starting a new browser overwrites.
  const std::string target(address);
  CloseIfStuck();
  if (!EnsureTarget()) return com::E_FAIL;
  lastUrl_ = target;
  // The reply comes when the site answers, which may take long: the page's
  // thread does not wait for it.
  std::weak_ptr<int> token = token_;
  const int navigation = ++navigation_;
  watchedUrl_ = target;
  bool sent = process_->CallAsync(generation_, protocol::Navigate(target), session_,
                                  [this, token, target, navigation](const Reply& r) {
    if (token.expired()) return;
    const bool failed = protocol::NavigationFailed(r);
    // The site has answered: the page's own thread now has to take the new
    // document; a page that does not is stuck.
    if (!failed && navigation == navigation_ && !watchedUrl_.empty())
      watch_->SetTimer(kCommitTimer, BrowserProcess::kPageAnswerMs);
    if (!sink_) return;
    if (failed && (r.ok || Live())) sink_->NavigateError(target, true, kNavigateErrorStatus);
  });
  return sent ? com::S_OK : com::E_FAIL;
}

com::HRESULT PageImpl::Refresh() {
  CloseIfStuck();
  if (!Live()) return lastUrl_.empty() ? com::E_FAIL : Navigate(lastUrl_);
  process_->Send(generation_, protocol::Reload(), session_);
  return com::S_OK;
}

com::HRESULT PageImpl::MoveInHistory(int step) {
  // A new browser has no history of the old one: the closest it can come
  // is the last page shown.
  if (!Live()) return lastUrl_.empty() ? com::E_FAIL : Navigate(lastUrl_);
  // The history is the browser's own, readable while the page is stuck.
  auto history = protocol::ReadHistory(process_->Call(generation_, protocol::GetNavigationHistory(), session_));
  if (!history) return com::E_FAIL;
  const auto& entries = history->entries;
  int to = history->current + step;
  // The blank page every tab starts with is not part of the history.
  int first = (!entries.empty() && entries[0].url == kBlankPage) ? 1 : 0;
  if (to < first || to >= static_cast<int>(entries.size())) return com::E_FAIL;
  // A stuck page goes with its history: the new page loads the entry's address.
  CloseIfStuck();
  if (!Live()) return Navigate(entries[to].url);
  return process_->CallAsync(generation_, protocol::NavigateToHistoryEntry(entries[to].id), session_,
                             [](const Reply&) {})
             ? com::S_OK
             : com::E_FAIL;
}

com::HRESULT PageImpl::put_Silent(bool silent) {
  std::lock_guard lock(settings_->mutex);
  settings_->silent = silent;
  return com::S_OK;
}

com::HRESULT PageImpl::Advise(engine::BrowserEvents* sink) {
  sink_ = sink;
  return com::S_OK;
}

com::HRESULT PageImpl::SetLoadImages(bool load) {
  {
    std::lock_guard lock(settings_->mutex);
    if (settings_->blockMedia == !load) return com::S_OK;
    settings_->blockMedia = !load;
  }
  if (!Live()) return com::S_OK;
  for (const auto& s : sessions_)
    process_->Send(generation_, load ? protocol::StopIntercepting() : protocol::InterceptMedia(), s);
  return com::S_OK;
}

com::HRESULT PageImpl::SetNewDocumentScript(std::string_view script) {
  {
    std::lock_guard lock(settings_->mutex);
    if (settings_->script == script) return com::S_OK;
    settings_->script = std::string(script);
  }
  if (!Live()) return com::S_OK;
  for (const auto& s : sessions_) {
    for (const auto& id : scriptIds_[s])
      process_->Send(generation_, protocol::RemoveScriptToEvaluateOnNewDocument(id), s);
    scriptIds_[s].clear();
    if (!script.empty()) AddNewDocumentScript(s, std::string(script));
  }
  return com::S_OK;
}

com::HRESULT PageImpl::SetViewSize(int width, int height) {
  width_ = width;
  height_ = height;
  if (Live()) ApplyViewSize();
  return com::S_OK;
}

com::HRESULT PageImpl::ShowView(engine::ViewBox* box) {
  // The box shown so far shows nothing more.
  view_.reset();
  if (box) view_ = std::make_unique<Screencast>(*this, com::ComPtr<engine::ViewBox>::Share(box));
  return com::S_OK;
}

// --- for the objects of the page ------------------------------------------

const Context* PageImpl::ContextOf(const std::string& frameId) const {
  if (!Live()) return nullptr;
  auto it = contexts_.find(frameId);
  return it == contexts_.end() ? nullptr : &it->second;
}

std::string PageImpl::UrlOf(const std::string& frameId) const {
  auto it = frameUrls_.find(frameId);
  return it == frameUrls_.end() ? std::string() : it->second;
}

com::HRESULT PageImpl::get_Document(engine::Document** document) {
  *document = nullptr;
  // The document is a handle made without a call; a page whose thread does
  // not answer has none to offer, so that a method on it ends as without a
  // document instead of failing step by step.
  if (!Live() || !process_->MayAskPage(generation_, session_)) return com::S_OK;
  return DocumentOf(targetId_, document);
}

com::HRESULT PageImpl::DocumentOf(const std::string& frameId, engine::Document** document) {
  *document = nullptr;
  const Context* context = ContextOf(frameId);
  if (!context) return com::S_OK;
  // The document of the frame's context, without a call: its calls tell when it has gone.
  auto handle = RemoteHandle::DocumentOf(process_, generation_, *context);
  *document = MakeDocument(com::ComPtr<PageImpl>::Share(this), frameId, *context, std::move(handle)).Detach();
  return com::S_OK;
}

void PageImpl::OnChildScriptAdded(const std::string& session, const std::string& identifier) {
  if (sessions_.count(session)) scriptIds_[session].push_back(identifier);
}

// --- The page target ----------------------------------------------------------

void PageImpl::OnCommitOverdue() {
  watch_->KillTimer(kCommitTimer);
  // A page that answers has nothing to commit (a download, an answer
  // without content) and stays as it is.
  if (watchedUrl_.empty() || !Live() || process_->Answers(generation_, session_, true)) return;
  // The page stopped answering after the navigation was sent (a script
  // that started just then): the navigation again, in a new page.
  const std::string url = std::move(watchedUrl_);
  watchedUrl_.clear();
  CloseTarget();
  Navigate(url);
}

void PageImpl::CloseIfStuck() {
  if (!Live() || process_->Answers(generation_, session_)) return;
  CloseTarget();
}

void PageImpl::CloseTarget() {
  // Closing a target is the browser's own work, done at once; its renderer
  // ends with it.
  process_->Send(generation_, protocol::CloseTarget(targetId_), {});
  Forget();
}

bool PageImpl::EnsureTarget() {
  if (Live()) return true;
  if (!process_->Ensure()) return false;
  Forget();
  generation_ = process_->generation();
  // The first blank tab of a new browser, or a new one.
  std::string targetId;
  if (!process_->TakeFirstTab(&targetId)) {
    targetId = protocol::ReadTargetId(process_->Call(generation_, protocol::CreateTarget(kBlankPage), {}));
    if (targetId.empty()) return false;
  }
  const std::string session =
      protocol::ReadSessionId(process_->Call(generation_, protocol::AttachToTarget(targetId), {}));
  if (session.empty()) return false;
  targetId_ = targetId;
  session_ = session;
  settings_->unanswering = false;  // a new page, whatever the last one did
  sessions_.insert(session_);
  process_->AddSession(session_, this, settings_);
  SetUpSession(session_);
  ApplyViewSize();
  if (view_) view_->OnTargetReady();
  return true;
}

void PageImpl::SetUpSession(const std::string& session) {
  process_->Call(generation_, protocol::EnablePage(), session);
  process_->Call(generation_, protocol::EnableRuntime(), session);
  process_->Call(generation_, protocol::EnableLifecycleEvents(), session);
  process_->Call(generation_, protocol::SetAutoAttach(), session);
  bool block;
  std::string script;
  {
    std::lock_guard lock(settings_->mutex);
    block = settings_->blockMedia;
    script = settings_->script;
  }
  if (block) process_->Call(generation_, protocol::InterceptMedia(), session);
  if (!script.empty()) AddNewDocumentScript(session, script);
}

void PageImpl::AddNewDocumentScript(const std::string& session, const std::string& script) {
  const std::string id = protocol::ReadScriptIdentifier(
      process_->Call(generation_, protocol::AddScriptToEvaluateOnNewDocument(script), session));
  if (!id.empty()) scriptIds_[session].push_back(id);
}

void PageImpl::ApplyViewSize() {
  if (width_ <= 0 || height_ <= 0) return;
  process_->Send(generation_, protocol::SetViewSize(width_, height_), session_);
}

void PageImpl::Forget() {
  if (view_) view_->OnTargetGone();
  for (const auto& s : sessions_) process_->RemoveSession(s);
  sessions_.clear();
  session_.clear();
  contexts_.clear();
  frameUrls_.clear();
  pendingNavigation_.clear();
  scriptIds_.clear();
  url_.clear();
  loader_.clear();
}

void PageImpl::FireNavigateComplete(const std::string& frameId, const std::string& url) {
  if (sink_) sink_->NavigateComplete2(url, frameId == targetId_);
}

void PageImpl::FlushPendingNavigation(const std::string& frameId) {
  auto it = pendingNavigation_.find(frameId);
  if (it == pendingNavigation_.end()) return;
  std::string url = it->second;
  pendingNavigation_.erase(it);
  FireNavigateComplete(frameId, url);
}

// --- Events -------------------------------------------------------------------

void PageImpl::OnEvent(const Event& e) {
  for (const auto& entry : kEvents)
    if (e.method == entry.method) return (this->*entry.handler)(e);
}

void PageImpl::OnContextCreated(const Event& e) {
  const Json::Value& aux = e.params["context"]["auxData"];
  if (!aux["isDefault"].asBool()) return;
  const std::string frameId = aux["frameId"].asString();
  contexts_[frameId] = {e.sessionId, e.params["context"]["id"].asInt()};
  // The document of a navigation that committed is there now.
  FlushPendingNavigation(frameId);
}

void PageImpl::OnContextDestroyed(const Event& e) {
  const int id = e.params["executionContextId"].asInt();
  for (auto it = contexts_.begin(); it != contexts_.end();)
    it = (it->second.session == e.sessionId && it->second.id == id) ? contexts_.erase(it) : std::next(it);
}

void PageImpl::OnContextsCleared(const Event& e) { EraseSession(contexts_, e.sessionId); }

void PageImpl::OnFrameNavigated(const Event& e) {
  const Json::Value& frame = e.params["frame"];
  const std::string frameId = frame["id"].asString();
  const std::string url = frame["url"].asString() + frame["urlFragment"].asString();
  frameUrls_[frameId] = url;
  if (frameId == targetId_) {
    url_ = url;
    lastUrl_ = url;
    loader_ = frame["loaderId"].asString();
    // The navigation sent has committed (or another one has).
    watchedUrl_.clear();
    watch_->KillTimer(kCommitTimer);
  }
  // Told once the new document's context exists, so that its handlers
  // work on the new document, not on the one that went.
  if (contexts_.count(frameId)) FireNavigateComplete(frameId, url);
  else pendingNavigation_[frameId] = url;
}

void PageImpl::OnNavigatedWithinDocument(const Event& e) {
  const std::string frameId = e.params["frameId"].asString();
  frameUrls_[frameId] = e.params["url"].asString();
  if (frameId == targetId_) url_ = lastUrl_ = e.params["url"].asString();
}

void PageImpl::OnLifecycleEvent(const Event& e) {
  if (e.params["name"].asString() != "load") return;
  const std::string frameId = e.params["frameId"].asString();
  // A document whose context never came is reported before its completion.
  FlushPendingNavigation(frameId);
  if (frameId == targetId_) {
    // The top level completes once per document it loads.
    if (e.params["loaderId"].asString() != loader_ || completedLoader_ == loader_) return;
    completedLoader_ = loader_;
    if (sink_) sink_->DocumentComplete(url_, true);
  } else if (sink_) {
    sink_->DocumentComplete(UrlOf(frameId), false);
  }
}

void PageImpl::OnFrameRequestedNavigation(const Event& e) {
  // Schemes the browser does not load itself (such as "app:") come only
  // here; HTTP navigations are not held back, so the answer is advisory.
  if (sink_) sink_->BeforeNavigate2(e.params["url"].asString(), e.params["frameId"].asString() == targetId_);
}

void PageImpl::OnFrameDetached(const Event& e) {
  // A frame that moves to another process lives on in its own session.
  if (e.params["reason"].asString() == "swap") return;
  frameUrls_.erase(e.params["frameId"].asString());
  pendingNavigation_.erase(e.params["frameId"].asString());
}

void PageImpl::OnAttachedToTarget(const Event& e) {
  const std::string type = e.params["targetInfo"]["type"].asString();
  if (type == "iframe" || type == "page") sessions_.insert(e.params["sessionId"].asString());
}

void PageImpl::OnDetachedFromTarget(const Event& e) {
  const std::string child = e.params["sessionId"].asString();
  sessions_.erase(child);
  scriptIds_.erase(child);
  process_->RemoveSession(child);
  EraseSession(contexts_, child);
}

void PageImpl::OnTargetGone(const Event& e) {
  if (e.sessionId == session_) Forget();  // the next navigation makes a new target
}

void PageImpl::OnScreencastFrame(const Event& e) {
  if (view_) view_->OnFrame(e);
}

}  // namespace cdp

com::ComPtr<cdp::PageBrowser> cdp::CreatePageBrowser(loop::Loop& loop) { return com::MakeRef<cdp::PageImpl>(loop); }

com::ComPtr<engine::Browser> engine::MakeChromiumBrowser(loop::Loop& loop) { return cdp::CreatePageBrowser(loop); }
