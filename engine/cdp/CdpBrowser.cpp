#include "engine/cdp/CdpBrowser.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "engine/cdp/Connection.h"
#include "platform/codepage.h"

namespace cdp {

namespace {

using com::HRESULT;

constexpr int kCallTimeoutMs = 10000;
constexpr loop::UINT WM_CDP_REAP = loop::WM_USER + 0x101;
// What a failed navigation reports as its status (the resource was not found).
constexpr std::int32_t kNavigateErrorStatus = static_cast<std::int32_t>(0x800C0005);

Json::Value Obj() { return Json::Value(Json::objectValue); }

// Reference counting shared by every object of the back end.
template <typename... Faces>
class Counted : public Faces... {
 public:
  com::ULONG AddRef() override { return refs_.Add(); }
  com::ULONG Release() override {
    com::ULONG n = refs_.Sub();
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~Counted() = default;
  template <typename T>
  HRESULT Give(T* face, void** out) {
    *out = face;
    AddRef();
    return com::S_OK;
  }

 private:
  com::RefCount refs_;
};

template <typename T, typename... Args>
com::ComPtr<T> Make(Args&&... args) {
  return com::ComPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}

// A value given back by value from the page, as a variant.
com::Variant ToVariant(const Json::Value& remote) {
  const std::string type = remote["type"].asString();
  const Json::Value& v = remote["value"];
  if (type == "string") return v.asString();
  if (type == "boolean") return v.asBool();
  if (type == "number") {
    if (!v.isNumeric()) return std::string(remote["unserializableValue"].asString());
    double d = v.asDouble();
    if (std::floor(d) == d && d >= -2147483648.0 && d <= 2147483647.0) return static_cast<std::int32_t>(d);
    return d;
  }
  if (type == "object" && remote["subtype"].asString() == "null") return com::Null{};
  if (type == "undefined") return std::monostate{};
  if (v.isString()) return v.asString();
  return std::monostate{};
}

Json::Value Arg(const Json::Value& value) {
  Json::Value a = Obj();
  a["value"] = value;
  return a;
}

// A name that can be looked up as a plain identifier of the global scope.
bool IsIdentifier(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

std::vector<std::uint8_t> Base64Decode(std::string_view in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> out;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
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

// What the reader thread needs to know of a page to answer for it at once.
struct PageSettings {
  std::mutex mutex;
  bool silent = true;  // nobody can answer a dialog of a hidden browser
  bool blockMedia = false;
  std::string script;
};

Json::Value MediaPatterns() {
  Json::Value p = Obj();
  Json::Value list(Json::arrayValue);
  for (const char* type : {"Image", "Media"}) {
    Json::Value pattern = Obj();
    pattern["urlPattern"] = "*";
    pattern["resourceType"] = type;
    pattern["requestStage"] = "Request";
    list.append(pattern);
  }
  p["patterns"] = list;
  return p;
}

// Answers the dialogs of a browser from a thread of its own. Dialogs of
// frames in different processes may open at the same moment, and one
// answer closes only the dialog showing then; so a page with a dialog
// reported is answered again and again until as many dialogs have closed
// as opened. The browser may report a dialog a moment before it takes an
// answer for it ("no dialog is showing"): such a refusal is tried again
// shortly, for a while, instead of being taken as the end.
//
// When dialogs of two processes overlap, the browser closes the older one
// itself and may then refuse every answer for the newer one, which then
// holds its page for good. A page whose dialog stays refused and whose
// document no longer answers a plain evaluation is closed: the page
// browser then has no document, and its next navigation opens a new page.
// The loop's thread is never needed: it may itself be waiting for a call
// that a showing dialog holds up.
class DialogAnswerer {
 public:
  explicit DialogAnswerer(Connection& c) : conn_(c), thread_([this] { Run(); }) {}
  ~DialogAnswerer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // From the reader thread: a dialog opened in the page of `session`.
  void Opened(const std::string& session) {
    {
      std::lock_guard lock(mutex_);
      ++open_[session];
      refusals_[session] = 0;
    }
    cv_.notify_all();
  }
  // From the reader thread: a dialog of that page closed, answered or not.
  void Closed(const std::string& session) {
    std::lock_guard lock(mutex_);
    if (open_[session] > 0) --open_[session];
  }

 private:
  static constexpr int kRetryMs = 20;
  static constexpr int kMaxRefusals = 100;  // about two seconds of refusals
  static constexpr int kProbeMs = 3000;     // a busy page still answers in that time

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || Next() != nullptr; });
      if (stop_) return;
      const std::string session = Next()->first;
      lock.unlock();
      Json::Value p = Obj();
      p["accept"] = true;
      p["promptText"] = "";
      Reply r = conn_.Call("Page.handleJavaScriptDialog", p, session, 2000);
      lock.lock();
      if (r.ok) {
        refusals_[session] = 0;
        // Its closing is reported separately; give it a moment to arrive.
        cv_.wait_for(lock, std::chrono::milliseconds(kRetryMs / 4), [&] { return stop_; });
        continue;
      }
      // Nothing showing (yet): try again shortly, and give up after a while.
      if (++refusals_[session] >= kMaxRefusals) {
        open_[session] = 0;
        refusals_[session] = 0;
        lock.unlock();
        CloseIfHeld(session);
        lock.lock();
      }
      cv_.wait_for(lock, std::chrono::milliseconds(kRetryMs), [&] { return stop_; });
    }
  }
  // Closes the page of `session` when its document does not answer.
  void CloseIfHeld(const std::string& session) {
    Json::Value probe = Obj();
    probe["expression"] = "0";
    if (conn_.Call("Runtime.evaluate", probe, session, kProbeMs).ok || !conn_.alive()) return;
    Reply info = conn_.Call("Target.getTargetInfo", Obj(), session, 2000);
    if (!info.ok) return;
    Json::Value target = Obj();
    target["targetId"] = info.result["targetInfo"]["targetId"];
    conn_.Call("Target.closeTarget", target, {}, 2000);
  }
  std::pair<const std::string, int>* Next() {
    for (auto& entry : open_)
      if (entry.second > 0) return &entry;
    return nullptr;
  }

  Connection& conn_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::map<std::string, int> open_, refusals_;
  std::thread thread_;
};

class PageImpl;

// The browser process shared by every page browser of this process.
class Process {
 public:
  explicit Process(loop::Loop& loop) : loop_(loop), reaper_(loop, *this) {}
  ~Process() {
    // The reader stops calling in before what it calls goes, and the
    // browser ends while the rest of this object still exists.
    if (conn_) {
      conn_->SetInterceptor(nullptr);
      conn_->SetEventSink(nullptr);
    }
    answerer_.reset();
    conn_.reset();
  }

  static std::shared_ptr<Process> Get(loop::Loop& loop) {
    static std::weak_ptr<Process> instance;
    auto p = instance.lock();
    if (!p) {
      p = std::make_shared<Process>(loop);
      instance = p;
    }
    return p;
  }

  bool Alive() const { return conn_ && conn_->alive(); }
  bool Alive(int generation) const { return Alive() && generation == generation_; }
  int generation() const { return generation_; }
  pid_t pid() const { return Alive() ? conn_->pid() : -1; }

  // A running browser: the present one, or a new one when it died.
  bool Ensure();

  Reply Call(int generation, std::string_view method, const Json::Value& params, std::string_view session,
             int timeoutMs = kCallTimeoutMs) {
    if (!Alive(generation)) {
      Reply r;
      r.error = "the browser is gone";
      return r;
    }
    return conn_->Call(method, params, session, timeoutMs);
  }
  void Send(int generation, std::string_view method, const Json::Value& params, std::string_view session) {
    if (Alive(generation)) conn_->Send(method, params, session);
  }
  bool CallAsync(int generation, std::string_view method, const Json::Value& params, std::string_view session,
                 Connection::ReplyHandler handler) {
    return Alive(generation) && conn_->CallAsync(method, params, session, std::move(handler));
  }

  // The first blank tab of a new browser, once.
  bool TakeFirstTab(std::string* targetId);

  void AddPage(PageImpl* page) { pages_.insert(page); }
  void RemovePage(PageImpl* page) {
    pages_.erase(page);
    for (auto it = routes_.begin(); it != routes_.end();) it = it->second == page ? routes_.erase(it) : std::next(it);
    std::lock_guard lock(settingsMutex_);
    for (auto it = settings_.begin(); it != settings_.end();)
      it = it->second.page == page ? settings_.erase(it) : std::next(it);
  }
  // Events of `session` go to `page`; the reader thread answers for it with `settings`.
  void AddSession(const std::string& session, PageImpl* page, std::shared_ptr<PageSettings> settings) {
    routes_[session] = page;
    std::lock_guard lock(settingsMutex_);
    settings_[session] = {page, std::move(settings)};
  }
  void RemoveSession(const std::string& session) {
    routes_.erase(session);
    std::lock_guard lock(settingsMutex_);
    settings_.erase(session);
  }

 private:
  class Reaper : public loop::MessageTarget {
   public:
    Reaper(loop::Loop& l, Process& p) : MessageTarget(l), process_(p) {}

   protected:
    loop::LRESULT WindowProc(loop::Message& m) override {
      if (m.msg == WM_CDP_REAP) process_.graveyard_.clear();
      return 0;
    }

   private:
    Process& process_;
  };

  void OnEvent(int generation, const Event& e);
  bool Intercept(Connection& c, const Event& e);
  // Whether dialogs of the page of `session` are answered (reader thread).
  bool Silent(const std::string& session) {
    std::shared_ptr<PageSettings> settings;
    {
      std::lock_guard lock(settingsMutex_);
      auto it = settings_.find(session);
      if (it != settings_.end()) settings = it->second.settings;
    }
    if (!settings) return true;
    std::lock_guard lock(settings->mutex);
    return settings->silent;
  }

  struct SessionEntry {
    PageImpl* page = nullptr;
    std::shared_ptr<PageSettings> settings;
  };

  loop::Loop& loop_;
  std::unique_ptr<Connection> conn_;
  std::unique_ptr<DialogAnswerer> answerer_;
  // Connections of browsers that died, ended outside their own callbacks.
  std::vector<std::unique_ptr<Connection>> graveyard_;
  Reaper reaper_;
  int generation_ = 0;
  bool firstTabFree_ = false;
  std::set<PageImpl*> pages_;
  std::map<std::string, PageImpl*> routes_;
  std::mutex settingsMutex_;
  std::map<std::string, SessionEntry> settings_;
};

// A main-world script context of a frame.
struct Context {
  std::string session;
  int id = 0;
};

// A remote object, released when the handle goes.
class RemoteHandle {
 public:
  RemoteHandle(std::shared_ptr<Process> process, int generation, std::string session, std::string objectId)
      : process_(std::move(process)), generation_(generation), session_(std::move(session)),
        objectId_(std::move(objectId)) {}
  ~RemoteHandle() {
    if (objectId_.empty()) return;
    Json::Value p = Obj();
    p["objectId"] = objectId_;
    process_->Send(generation_, "Runtime.releaseObject", p, session_);
  }
  RemoteHandle(const RemoteHandle&) = delete;
  RemoteHandle& operator=(const RemoteHandle&) = delete;

  const std::string& objectId() const { return objectId_; }
  const std::string& session() const { return session_; }
  int generation() const { return generation_; }
  Process& process() const { return *process_; }
  const std::shared_ptr<Process>& processPtr() const { return process_; }

  // Calls a function with this object as `this`. With `byValue` the result
  // comes as a value in `value`, else as a new object id in `objectId`
  // (empty for null or undefined).
  HRESULT CallOn(std::string_view function, const Json::Value& args, bool byValue, Json::Value* value,
                 std::string* objectId = nullptr) const {
    Json::Value p = Obj();
    p["objectId"] = objectId_;
    p["functionDeclaration"] = std::string(function);
    Json::Value list(Json::arrayValue);
    for (const auto& a : args) list.append(Arg(a));
    p["arguments"] = list;
    p["returnByValue"] = byValue;
    Reply r = process_->Call(generation_, "Runtime.callFunctionOn", p, session_);
    if (!r.ok) return engine::E_GONE;
    if (r.result.isMember("exceptionDetails")) return com::DISP_E_EXCEPTION;
    const Json::Value& result = r.result["result"];
    if (value) *value = result;
    if (objectId) *objectId = result["objectId"].asString();
    return com::S_OK;
  }

 private:
  std::shared_ptr<Process> process_;
  int generation_;
  std::string session_;
  std::string objectId_;
};

class DocumentImpl;
class WindowImpl;

// One page target with its frames, contexts and events.
class PageImpl final : public Counted<PageBrowser> {
 public:
  explicit PageImpl(loop::Loop& loop)
      : process_(Process::Get(loop)), settings_(std::make_shared<PageSettings>()) {
    process_->AddPage(this);
  }
  ~PageImpl() override {
    if (Live()) {
      Json::Value p = Obj();
      p["targetId"] = targetId_;
      process_->Send(generation_, "Target.closeTarget", p, {});
    }
    process_->RemovePage(this);
  }

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Browser) return Give<engine::Browser>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }

  // --- engine::Browser ---
  HRESULT get_Document(engine::Document** document) override;
  HRESULT get_LocationURL(std::string* url) override {
    *url = Live() ? url_ : std::string();
    return com::S_OK;
  }
  HRESULT get_ReadyState(std::int32_t* state) override;
  HRESULT Navigate(std::string_view url) override;
  HRESULT Refresh() override;
  HRESULT GoBack() override { return MoveInHistory(-1); }
  HRESULT GoForward() override { return MoveInHistory(1); }
  HRESULT put_Silent(bool silent) override {
    std::lock_guard lock(settings_->mutex);
    settings_->silent = silent;
    return com::S_OK;
  }
  HRESULT Advise(engine::BrowserEvents* sink) override {
    sink_ = sink;
    return com::S_OK;
  }

  // --- PageBrowser ---
  void SetLoadImages(bool load) override;
  void SetNewDocumentScript(std::string_view script) override;
  void SetViewSize(int width, int height) override {
    width_ = width;
    height_ = height;
    if (Live()) ApplyViewSize();
  }
  pid_t BrowserProcessId() const override { return process_->pid(); }

  // --- for the objects of the page ---
  bool Live() const { return !session_.empty() && process_->Alive(generation_); }
  const std::shared_ptr<Process>& process() const { return process_; }
  int generation() const { return generation_; }
  const std::string& mainFrame() const { return targetId_; }
  const Context* ContextOf(const std::string& frameId) const {
    if (!Live()) return nullptr;
    auto it = contexts_.find(frameId);
    return it == contexts_.end() ? nullptr : &it->second;
  }
  std::string UrlOf(const std::string& frameId) const {
    auto it = frameUrls_.find(frameId);
    return it == frameUrls_.end() ? std::string() : it->second;
  }
  // The document of a frame; S_OK with null when the frame has none now.
  HRESULT DocumentOf(const std::string& frameId, engine::Document** document);

  // Events of this page's sessions, on the loop's thread.
  void OnEvent(const Event& e);
  // The browser process went away: everything it held is gone.
  void OnBrowserGone() { Forget(); }
  // The reader thread added the script to a child session.
  void OnChildScriptAdded(const std::string& session, const std::string& identifier) {
    if (sessions_.count(session)) scriptIds_[session].push_back(identifier);
  }

 private:
  bool EnsureTarget();
  void SetUpSession(const std::string& session);
  void ApplyViewSize() {
    if (width_ <= 0 || height_ <= 0) return;
    Json::Value p = Obj();
    p["width"] = width_;
    p["height"] = height_;
    p["deviceScaleFactor"] = 1;
    p["mobile"] = false;
    process_->Send(generation_, "Emulation.setDeviceMetricsOverride", p, session_);
  }
  HRESULT MoveInHistory(int step);
  void Forget() {
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
  void FireNavigateComplete(const std::string& frameId, const std::string& url) {
    if (sink_) sink_->NavigateComplete2(url, frameId == targetId_);
  }

  std::shared_ptr<Process> process_;
  std::shared_ptr<PageSettings> settings_;
  // Replies that come after the page went find this expired.
  std::shared_ptr<int> token_ = std::make_shared<int>(0);
  engine::BrowserEvents* sink_ = nullptr;
  int generation_ = -1;
  std::string targetId_;  // also the id of the main frame
  std::string session_;   // the page's own session; empty while it has no target
  std::set<std::string> sessions_;  // the page's and its out-of-process frames'
  std::map<std::string, Context> contexts_;  // frame id -> main-world context
  std::map<std::string, std::string> frameUrls_;
  std::map<std::string, std::string> pendingNavigation_;  // frames navigated, context still to come
  std::map<std::string, std::vector<std::string>> scriptIds_;
  std::string url_;          // of the main frame
  std::string lastUrl_;      // the last address shown, kept when the browser dies
  std::string loader_;       // of the main frame's current document
  std::string completedLoader_;
  int width_ = 0, height_ = 0;
};

// --- Process ---

bool Process::Ensure() {
  if (Alive()) return true;
  if (conn_) conn_->SetInterceptor(nullptr);
  answerer_.reset();
  if (conn_) {
    // Its reader may still be delivering this very event: end it later.
    conn_->SetEventSink(nullptr);
    graveyard_.push_back(std::move(conn_));
    loop::PostMessage(reaper_.hwnd(), WM_CDP_REAP);
  }
  routes_.clear();
  {
    std::lock_guard lock(settingsMutex_);
    settings_.clear();
  }
  for (PageImpl* page : pages_) page->OnBrowserGone();
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

bool Process::TakeFirstTab(std::string* targetId) {
  if (!firstTabFree_) return false;
  firstTabFree_ = false;
  Reply r = conn_->Call("Target.getTargets");
  if (!r.ok) return false;
  for (const auto& t : r.result["targetInfos"]) {
    if (t["type"].asString() == "page" && !t["attached"].asBool()) {
      *targetId = t["targetId"].asString();
      return true;
    }
  }
  return false;
}

void Process::OnEvent(int generation, const Event& e) {
  if (generation != generation_) return;
  if (std::getenv("VELMORA_CDP_TRACE")) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    std::fprintf(stderr, "[cdp] %s %s %s\n", e.sessionId.substr(0, 6).c_str(), e.method.c_str(),
                 Json::writeString(w, e.params).substr(0, 300).c_str());
  }
  if (e.method == "Connection.closed") {
    for (PageImpl* page : pages_) page->OnBrowserGone();
    routes_.clear();
    return;
  }
  auto it = routes_.find(e.sessionId);
  if (it == routes_.end()) return;
  PageImpl* page = it->second;
  if (e.method == "Target.attachedToTarget") {
    std::shared_ptr<PageSettings> settings;
    {
      std::lock_guard lock(settingsMutex_);
      auto s = settings_.find(e.params["sessionId"].asString());
      if (s != settings_.end()) settings = s->second.settings;
    }
    if (settings) routes_[e.params["sessionId"].asString()] = page;
  }
  page->OnEvent(e);
}

// On the reader thread: what must be answered before anything else runs.
bool Process::Intercept(Connection& c, const Event& e) {
  std::shared_ptr<PageSettings> settings;
  PageImpl* page = nullptr;
  {
    std::lock_guard lock(settingsMutex_);
    auto it = settings_.find(e.sessionId);
    if (it != settings_.end()) {
      settings = it->second.settings;
      page = it->second.page;
    }
  }
  if (e.method == "Fetch.requestPaused") {
    bool block = true;
    if (settings) {
      std::lock_guard lock(settings->mutex);
      block = settings->blockMedia;
    }
    Json::Value p = Obj();
    p["requestId"] = e.params["requestId"];
    if (block) {
      p["errorReason"] = "BlockedByClient";
      c.Send("Fetch.failRequest", p, e.sessionId);
    } else {
      c.Send("Fetch.continueRequest", p, e.sessionId);
    }
    return true;
  }
  if (e.method == "Target.attachedToTarget") {
    const std::string child = e.params["sessionId"].asString();
    const std::string type = e.params["targetInfo"]["type"].asString();
    if (settings && (type == "iframe" || type == "page")) {
      {
        std::lock_guard lock(settingsMutex_);
        settings_[child] = {page, settings};
      }
      bool block;
      std::string script;
      {
        std::lock_guard lock(settings->mutex);
        block = settings->blockMedia;
        script = settings->script;
      }
      // The frame waits for us: set it up like the page, then let it run.
      Json::Value on = Obj();
      on["enabled"] = true;
      c.Send("Page.enable", Obj(), child);
      c.Send("Runtime.enable", Obj(), child);
      c.Send("Page.setLifecycleEventsEnabled", on, child);
      Json::Value attach = Obj();
      attach["autoAttach"] = true;
      attach["waitForDebuggerOnStart"] = true;
      attach["flatten"] = true;
      c.Send("Target.setAutoAttach", attach, child);
      if (block) c.Send("Fetch.enable", MediaPatterns(), child);
      if (!script.empty()) {
        Json::Value p = Obj();
        p["source"] = script;
        const int generation = generation_;
        c.CallAsync("Page.addScriptToEvaluateOnNewDocument", p, child,
                    [this, generation, child](const Reply& r) {
                      if (!r.ok || generation != generation_) return;
                      auto it = routes_.find(child);
                      if (it != routes_.end()) it->second->OnChildScriptAdded(child, r.result["identifier"].asString());
                    });
      }
    }
    c.Send("Runtime.runIfWaitingForDebugger", Obj(), child);
    return false;
  }
  if (e.method == "Target.detachedFromTarget") {
    std::lock_guard lock(settingsMutex_);
    settings_.erase(e.params["sessionId"].asString());
  }
  return false;
}

// --- Objects of a page ---

HRESULT TextOf(const RemoteHandle& h, std::string_view function, std::string* out,
               const Json::Value& args = Json::Value(Json::arrayValue)) {
  Json::Value v;
  HRESULT hr = h.CallOn(function, args, true, &v);
  if (com::Failed(hr)) return hr;
  *out = v["value"].isString() ? v["value"].asString() : std::string();
  return com::S_OK;
}

HRESULT Effect(const RemoteHandle& h, std::string_view function, const Json::Value& args = Json::Value(Json::arrayValue)) {
  return h.CallOn(function, args, true, nullptr);
}

// The (name, index) lookup of a collection in the platform's manner. An
// empty name finds nothing: every element without an id would match it.
constexpr const char* kItemFunction =
    "function(name, index, byName) {"
    "  const list = this.elements || this;"
    "  if (!byName) return list[name] || null;"
    "  if (name === '') return null;"
    "  let seen = 0;"
    "  for (const e of Array.from(list)) {"
    "    if (e.id === name || (e.getAttribute && e.getAttribute('name') === name)) {"
    "      if (seen++ === index) return e;"
    "    }"
    "  }"
    "  return null;"
    "}";

Json::Value ItemArgs(const com::Variant& name, const com::Variant& index, bool* ok) {
  Json::Value args(Json::arrayValue);
  *ok = true;
  std::int32_t at = 0;
  if (const auto* i = std::get_if<std::int32_t>(&index)) at = *i;
  else if (auto n = com::VariantToShort(index)) at = *n;
  if (const auto* i = std::get_if<std::int32_t>(&name)) {
    args.append(*i);
    args.append(0);
    args.append(false);
  } else if (const auto* d = std::get_if<double>(&name)) {
    args.append(static_cast<std::int32_t>(*d));
    args.append(0);
    args.append(false);
  } else if (const auto* s = std::get_if<std::string>(&name)) {
    args.append(*s);
    args.append(at);
    args.append(true);
  } else if (com::IsEmpty(name)) {
    args.append(at);
    args.append(0);
    args.append(false);
  } else {
    *ok = false;
  }
  return args;
}

class ElementImpl final : public Counted<engine::Element, engine::Form, engine::Input, engine::Anchor> {
 public:
  ElementImpl(com::ComPtr<DocumentImpl> document, std::unique_ptr<RemoteHandle> handle)
      : document_(std::move(document)), handle_(std::move(handle)) {}

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == com::IID_IUnknown || iid == engine::IID_Element) return Give<engine::Element>(this, out);
    std::string tag;
    if (iid == engine::IID_Form || iid == engine::IID_Input || iid == engine::IID_Anchor) {
      // An element whose document has gone says so, rather than that it lacks the face.
      if (HRESULT hr = get_tagName(&tag); com::Failed(hr)) return hr == engine::E_GONE ? hr : com::E_NOINTERFACE;
    }
    if (iid == engine::IID_Form && tag == "FORM") return Give<engine::Form>(this, out);
    if (iid == engine::IID_Input && tag == "INPUT") return Give<engine::Input>(this, out);
    // An image-map area is a link but not an anchor.
    if (iid == engine::IID_Anchor && tag == "A") return Give<engine::Anchor>(this, out);
    return com::E_NOINTERFACE;
  }

  // Element
  HRESULT get_tagName(std::string* tag) override {
    if (!tag_.empty()) {
      *tag = tag_;
      return com::S_OK;
    }
    HRESULT hr = TextOf(*handle_, "function(){return String(this.tagName || '').toUpperCase();}", &tag_);
    *tag = tag_;
    return hr;
  }
  HRESULT click() override { return Effect(*handle_, "function(){this.click();}"); }
  HRESULT get_innerText(std::string* text) override {
    return TextOf(*handle_, "function(){return String(this.innerText === undefined ? this.textContent : this.innerText);}", text);
  }
  HRESULT insertAdjacentHTML(std::string_view where, std::string_view html) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(where));
    args.append(std::string(html));
    return Effect(*handle_, "function(w, h){this.insertAdjacentHTML(w, h);}", args);
  }
  HRESULT GetProperty(std::string_view name, com::Variant* value) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(name));
    Json::Value v;
    HRESULT hr = handle_->CallOn(
        "function(n){ if (!(n in this)) return {has:false}; const v = this[n];"
        " return {has:true, v: (typeof v === 'object' && v !== null) ? String(v) : v}; }",
        args, true, &v);
    if (com::Failed(hr)) return hr;
    const Json::Value& r = v["value"];
    if (!r["has"].asBool()) return com::DISP_E_UNKNOWNNAME;
    const Json::Value& inner = r["v"];
    if (inner.isString()) *value = inner.asString();
    else if (inner.isBool()) *value = inner.asBool();
    else if (inner.isInt()) *value = inner.asInt();
    else if (inner.isNumeric()) *value = inner.asDouble();
    else if (inner.isNull() && r.isMember("v")) *value = com::Null{};
    else *value = std::monostate{};
    return com::S_OK;
  }

  // Form
  HRESULT get_name(std::string* name) override {
    return TextOf(*handle_, "function(){return String(this.getAttribute('name') || (typeof this.name === 'string' ? this.name : ''));}", name);
  }
  HRESULT get_length(std::int32_t* length) override {
    Json::Value v;
    HRESULT hr = handle_->CallOn("function(){return (this.elements || this).length | 0;}", Json::Value(Json::arrayValue), true, &v);
    if (com::Succeeded(hr)) *length = v["value"].asInt();
    return hr;
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override;
  HRESULT submit() override { return Effect(*handle_, "function(){HTMLFormElement.prototype.submit.call(this);}"); }
  HRESULT get_action(std::string* action) override {
    return TextOf(*handle_, "function(){return String(this.getAttribute('action') || '');}", action);
  }
  HRESULT put_action(std::string_view action) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(action));
    return Effect(*handle_, "function(a){this.setAttribute('action', a);}", args);
  }

  // Input (get_name is shared with Form: the name attribute)
  HRESULT get_type(std::string* type) override { return TextOf(*handle_, "function(){return String(this.type || '');}", type); }
  HRESULT get_value(std::string* value) override {
    return TextOf(*handle_, "function(){return String(this.value === undefined ? '' : this.value);}", value);
  }
  HRESULT put_value(std::string_view value) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(value));
    return Effect(*handle_, "function(v){this.value = v;}", args);
  }

  // Anchor
  HRESULT get_href(std::string* href) override { return TextOf(*handle_, "function(){return String(this.href || '');}", href); }
  HRESULT get_target(std::string* target) override {
    return TextOf(*handle_, "function(){return String(this.target || '');}", target);
  }
  HRESULT put_target(std::string_view target) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(target));
    return Effect(*handle_, "function(t){this.target = t;}", args);
  }

 private:
  com::ComPtr<DocumentImpl> document_;
  std::unique_ptr<RemoteHandle> handle_;
  std::string tag_;
};

// Makes an element object of a remote object id (null when the id is empty).
com::ComPtr<com::IUnknown> MakeElement(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& owner,
                                       const std::string& objectId) {
  if (objectId.empty()) return nullptr;
  auto handle = std::make_unique<RemoteHandle>(owner.processPtr(), owner.generation(), owner.session(), objectId);
  auto element = Make<ElementImpl>(document, std::move(handle));
  return com::ComPtr<com::IUnknown>::Adopt(static_cast<engine::Element*>(element.Detach()));
}

HRESULT ItemOf(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& list, const com::Variant& name,
               const com::Variant& index, com::IUnknown** element) {
  *element = nullptr;
  bool ok;
  Json::Value args = ItemArgs(name, index, &ok);
  if (!ok) return com::E_INVALIDARG;
  std::string id;
  HRESULT hr = list.CallOn(kItemFunction, args, false, nullptr, &id);
  if (com::Failed(hr)) return hr;
  *element = MakeElement(document, list, id).Detach();
  return com::S_OK;
}

class CollectionImpl final : public Counted<engine::ElementCollection> {
 public:
  CollectionImpl(com::ComPtr<DocumentImpl> document, std::unique_ptr<RemoteHandle> handle)
      : document_(std::move(document)), handle_(std::move(handle)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_ElementCollection)
      return Give<engine::ElementCollection>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_length(std::int32_t* length) override {
    Json::Value v;
    HRESULT hr = handle_->CallOn("function(){return this.length | 0;}", Json::Value(Json::arrayValue), true, &v);
    if (com::Succeeded(hr)) *length = v["value"].asInt();
    return hr;
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    return ItemOf(document_, *handle_, name, index, element);
  }

 private:
  com::ComPtr<DocumentImpl> document_;
  std::unique_ptr<RemoteHandle> handle_;
};

class ScriptImpl final : public Counted<engine::Script> {
 public:
  ScriptImpl(com::ComPtr<PageImpl> page, Context context) : page_(std::move(page)), context_(std::move(context)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Script) return Give<engine::Script>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    // Looked up as an identifier, so that top-level let, const and class
    // declarations are found as well as properties of the global object.
    if (!IsIdentifier(name)) return com::DISP_E_UNKNOWNNAME;
    Json::Value p = Obj();
    p["expression"] = "typeof " + std::string(name) + " === 'function'";
    p["contextId"] = context_.id;
    p["returnByValue"] = true;
    Reply r = page_->process()->Call(page_->generation(), "Runtime.evaluate", p, context_.session);
    if (!r.ok) return engine::E_GONE;
    if (!r.result["result"]["value"].asBool()) return com::DISP_E_UNKNOWNNAME;
    names_.emplace_back(name);
    *id = static_cast<com::DISPID>(names_.size());
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, const std::vector<std::string>& args, com::Variant* result) override {
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return com::DISP_E_MEMBERNOTFOUND;
    Json::Value p = Obj();
    p["functionDeclaration"] = "function(...a){ return " + names_[id - 1] + "(...a); }";
    p["executionContextId"] = context_.id;
    Json::Value list(Json::arrayValue);
    for (const auto& a : args) list.append(Arg(a));
    p["arguments"] = list;
    p["returnByValue"] = true;
    Reply r = page_->process()->Call(page_->generation(), "Runtime.callFunctionOn", p, context_.session);
    if (!r.ok) return engine::E_GONE;
    if (r.result.isMember("exceptionDetails")) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.result["result"]);
    return com::S_OK;
  }

 private:
  com::ComPtr<PageImpl> page_;
  Context context_;
  std::vector<std::string> names_;
};

class DocumentImpl final : public Counted<engine::Document> {
 public:
  DocumentImpl(com::ComPtr<PageImpl> page, std::string frameId, Context context, std::unique_ptr<RemoteHandle> handle)
      : page_(std::move(page)), frameId_(std::move(frameId)), context_(std::move(context)), handle_(std::move(handle)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Document) return Give<engine::Document>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }

  HRESULT get_Script(engine::Script** script) override {
    *script = Make<ScriptImpl>(page_, context_).Detach();
    return com::S_OK;
  }
  HRESULT get_frames(engine::FramesCollection** frames) override;
  HRESULT get_forms(engine::ElementCollection** forms) override { return Collection("function(){return this.forms;}", forms); }
  HRESULT get_links(engine::ElementCollection** links) override { return Collection("function(){return this.links;}", links); }
  HRESULT get_all(engine::ElementCollection** all) override {
    return Collection("function(){return this.getElementsByTagName('*');}", all);
  }
  HRESULT get_body(engine::Element** body) override {
    *body = nullptr;
    std::string id;
    HRESULT hr = handle_->CallOn("function(){return this.body;}", Json::Value(Json::arrayValue), false, nullptr, &id);
    if (com::Failed(hr)) return hr;
    // MakeElement hands out the element face as its IUnknown.
    *body = static_cast<engine::Element*>(MakeElement(Self(), *handle_, id).Detach());
    return com::S_OK;
  }
  HRESULT get_parentWindow(engine::Window** window) override;
  HRESULT get_readyState(std::string* state) override { return TextOf(*handle_, "function(){return this.readyState;}", state); }
  HRESULT get_URL(std::string* url) override { return TextOf(*handle_, "function(){return this.URL;}", url); }
  HRESULT get_cookie(std::string* cookie) override { return TextOf(*handle_, "function(){return this.cookie;}", cookie); }
  HRESULT put_cookie(std::string_view cookie) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(cookie));
    return Effect(*handle_, "function(c){this.cookie = c;}", args);
  }
  // The charset under the platform's names: the two UTF-16 forms are
  // "unicode" and "unicodeFFFE" there; every other name is the engine's.
  HRESULT get_charset(std::string* charset) override {
    HRESULT hr = EncodingName(charset);
    if (codepage::EqualsNoCase(*charset, "UTF-16LE")) *charset = "unicode";
    else if (codepage::EqualsNoCase(*charset, "UTF-16BE")) *charset = "unicodeFFFE";
    return hr;
  }
  HRESULT Save(std::vector<std::uint8_t>* source) override {
    std::string url, charset;
    if (HRESULT hr = get_URL(&url); com::Failed(hr)) return hr;
    EncodingName(&charset);
    Json::Value p = Obj();
    p["frameId"] = frameId_;
    p["url"] = url;
    Reply r = page_->process()->Call(page_->generation(), "Page.getResourceContent", p, handle_->session());
    std::string text;
    if (r.ok && r.result["base64Encoded"].asBool()) {
      *source = Base64Decode(r.result["content"].asString());
      return com::S_OK;
    }
    if (r.ok) {
      text = r.result["content"].asString();
    } else {
      // Documents without a resource of their own (blank and error pages):
      // their markup as it stands.
      HRESULT hr = TextOf(*handle_, "function(){return this.documentElement ? this.documentElement.outerHTML : '';}", &text);
      if (com::Failed(hr)) return hr;
    }
    bool ok = false;
    std::string bytes;
    if (!charset.empty() && !codepage::EqualsNoCase(charset, "UTF-8"))
      bytes = codepage::Convert(text, "UTF-8", charset.c_str(), &ok);
    if (!ok) bytes = text;
    source->assign(bytes.begin(), bytes.end());
    return com::S_OK;
  }

  // The document's encoding as the engine names it (iconv knows these names).
  HRESULT EncodingName(std::string* charset) {
    return TextOf(*handle_, "function(){return this.characterSet;}", charset);
  }

  const RemoteHandle& handle() const { return *handle_; }
  const com::ComPtr<PageImpl>& page() const { return page_; }
  const std::string& frameId() const { return frameId_; }
  com::ComPtr<DocumentImpl> Self() {
    AddRef();
    return com::ComPtr<DocumentImpl>::Adopt(this);
  }

 private:
  HRESULT Collection(std::string_view function, engine::ElementCollection** out) {
    *out = nullptr;
    std::string id;
    HRESULT hr = handle_->CallOn(function, Json::Value(Json::arrayValue), false, nullptr, &id);
    if (com::Failed(hr)) return hr;
    if (id.empty()) return com::S_OK;
    auto handle = std::make_unique<RemoteHandle>(handle_->processPtr(), handle_->generation(), handle_->session(), id);
    *out = Make<CollectionImpl>(Self(), std::move(handle)).Detach();
    return com::S_OK;
  }

  com::ComPtr<PageImpl> page_;
  std::string frameId_;
  Context context_;
  std::unique_ptr<RemoteHandle> handle_;
};

HRESULT ElementImpl::item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) {
  return ItemOf(document_, *handle_, name, index, element);
}

// The browser that shows a frame: it hands out the frame's document even
// where the parent's script may not reach it.
class FrameBrowserImpl final : public Counted<engine::Browser> {
 public:
  FrameBrowserImpl(com::ComPtr<PageImpl> page, std::string frameId) : page_(std::move(page)), frameId_(std::move(frameId)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Browser) return Give<engine::Browser>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_Document(engine::Document** document) override { return page_->DocumentOf(frameId_, document); }
  HRESULT get_LocationURL(std::string* url) override {
    *url = page_->UrlOf(frameId_);
    return com::S_OK;
  }

 private:
  com::ComPtr<PageImpl> page_;
  std::string frameId_;
};

class WindowImpl final : public Counted<engine::Window, com::IServiceProvider> {
 public:
  WindowImpl(com::ComPtr<PageImpl> page, std::string frameId, bool reachable)
      : page_(std::move(page)), frameId_(std::move(frameId)), reachable_(reachable) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Window) return Give<engine::Window>(this, out);
    if (iid == com::IID_IServiceProvider) return Give<com::IServiceProvider>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_document(engine::Document** document) override {
    *document = nullptr;
    // The parent's script may not reach another site's document: neither may we.
    if (!reachable_) return engine::E_ACCESSDENIED;
    return page_->DocumentOf(frameId_, document);
  }
  HRESULT execScript(std::string_view code, std::string_view language, com::Variant* result) override {
    if (!codepage::EqualsNoCase(language, "JavaScript")) return com::E_INVALIDARG;
    const Context* context = page_->ContextOf(frameId_);
    if (!context) return engine::E_GONE;
    Json::Value p = Obj();
    p["expression"] = std::string(code);
    p["contextId"] = context->id;
    p["returnByValue"] = true;
    Reply r = page_->process()->Call(page_->generation(), "Runtime.evaluate", p, context->session);
    if (!r.ok) return engine::E_GONE;
    if (r.result.isMember("exceptionDetails")) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.result["result"]);
    return com::S_OK;
  }
  HRESULT QueryService(const com::GUID& service, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (service != com::IID_IWebBrowserApp && service != com::SID_STopLevelBrowser) return com::E_NOINTERFACE;
    if (iid != com::IID_IWebBrowser2 && iid != com::IID_IUnknown) return com::E_NOINTERFACE;
    *out = static_cast<engine::Browser*>(Make<FrameBrowserImpl>(page_, frameId_).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<PageImpl> page_;
  std::string frameId_;
  bool reachable_;
};

// A document's frames, in the order of window.frames.
class FramesImpl final : public Counted<engine::FramesCollection> {
 public:
  explicit FramesImpl(com::ComPtr<DocumentImpl> document) : document_(std::move(document)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_FramesCollection) return Give<engine::FramesCollection>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_length(std::int32_t* length) override {
    Json::Value v;
    HRESULT hr = document_->handle().CallOn("function(){return this.defaultView ? this.defaultView.frames.length : -1;}",
                                            Json::Value(Json::arrayValue), true, &v);
    if (com::Failed(hr)) return hr;
    *length = v["value"].asInt();
    return *length < 0 ? com::E_FAIL : com::S_OK;
  }
  HRESULT item(std::int32_t index, com::IUnknown** frame) override {
    *frame = nullptr;
    const RemoteHandle& doc = document_->handle();
    Json::Value args(Json::arrayValue);
    args.append(index);
    // The frame element whose window is frames[i]; window identity holds
    // across sites.
    std::string elementId;
    HRESULT hr = doc.CallOn(
        "function(i){ const w = this.defaultView; const f = w && w.frames[i]; if (!f) return null;"
        " for (const e of this.querySelectorAll('iframe,frame')) if (e.contentWindow === f) return e;"
        " return null; }",
        args, false, nullptr, &elementId);
    if (com::Failed(hr)) return hr;
    if (elementId.empty()) return com::E_INVALIDARG;
    RemoteHandle element(doc.processPtr(), doc.generation(), doc.session(), elementId);
    Json::Value p = Obj();
    p["objectId"] = elementId;
    Reply r = doc.process().Call(doc.generation(), "DOM.describeNode", p, doc.session());
    if (!r.ok) return engine::E_GONE;
    std::string frameId = r.result["node"]["frameId"].asString();
    if (frameId.empty()) return com::E_FAIL;
    Json::Value reach;
    doc.CallOn("function(i){ try { return !!this.defaultView.frames[i].document; } catch (e) { return false; } }", args,
               true, &reach);
    bool reachable = reach["value"].asBool();
    *frame = static_cast<engine::Window*>(Make<WindowImpl>(document_->page(), frameId, reachable).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<DocumentImpl> document_;
};

HRESULT DocumentImpl::get_frames(engine::FramesCollection** frames) {
  *frames = Make<FramesImpl>(Self()).Detach();
  return com::S_OK;
}

HRESULT DocumentImpl::get_parentWindow(engine::Window** window) {
  *window = Make<WindowImpl>(page_, frameId_, true).Detach();
  return com::S_OK;
}

// --- PageImpl ---

HRESULT PageImpl::DocumentOf(const std::string& frameId, engine::Document** document) {
  *document = nullptr;
  const Context* context = ContextOf(frameId);
  if (!context) return com::S_OK;
  Json::Value p = Obj();
  p["expression"] = "document";
  p["contextId"] = context->id;
  Reply r = process_->Call(generation_, "Runtime.evaluate", p, context->session);
  if (!r.ok || r.result.isMember("exceptionDetails")) return com::S_OK;
  std::string id = r.result["result"]["objectId"].asString();
  if (id.empty()) return com::S_OK;
  auto handle = std::make_unique<RemoteHandle>(process_, generation_, context->session, id);
  AddRef();
  *document = Make<DocumentImpl>(com::ComPtr<PageImpl>::Adopt(this), frameId, *context, std::move(handle)).Detach();
  return com::S_OK;
}

HRESULT PageImpl::get_Document(engine::Document** document) { return DocumentOf(targetId_, document); }

HRESULT PageImpl::get_ReadyState(std::int32_t* state) {
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

bool PageImpl::EnsureTarget() {
  if (Live()) return true;
  if (!process_->Ensure()) return false;
  Forget();
  generation_ = process_->generation();
  std::string targetId;
  if (!process_->TakeFirstTab(&targetId)) {
    Json::Value p = Obj();
    p["url"] = "about:blank";
    Reply r = process_->Call(generation_, "Target.createTarget", p, {});
    if (!r.ok) return false;
    targetId = r.result["targetId"].asString();
  }
  Json::Value p = Obj();
  p["targetId"] = targetId;
  p["flatten"] = true;
  Reply r = process_->Call(generation_, "Target.attachToTarget", p, {});
  if (!r.ok) return false;
  targetId_ = targetId;
  session_ = r.result["sessionId"].asString();
  sessions_.insert(session_);
  process_->AddSession(session_, this, settings_);
  SetUpSession(session_);
  ApplyViewSize();
  return true;
}

void PageImpl::SetUpSession(const std::string& session) {
  Json::Value on = Obj();
  on["enabled"] = true;
  process_->Call(generation_, "Page.enable", Obj(), session);
  process_->Call(generation_, "Runtime.enable", Obj(), session);
  process_->Call(generation_, "Page.setLifecycleEventsEnabled", on, session);
  Json::Value attach = Obj();
  attach["autoAttach"] = true;
  attach["waitForDebuggerOnStart"] = true;
  attach["flatten"] = true;
  process_->Call(generation_, "Target.setAutoAttach", attach, session);
  bool block;
  std::string script;
  {
    std::lock_guard lock(settings_->mutex);
    block = settings_->blockMedia;
    script = settings_->script;
  }
  if (block) process_->Call(generation_, "Fetch.enable", MediaPatterns(), session);
  if (!script.empty()) {
    Json::Value p = Obj();
    p["source"] = script;
    Reply r = process_->Call(generation_, "Page.addScriptToEvaluateOnNewDocument", p, session);
    if (r.ok) scriptIds_[session].push_back(r.result["identifier"].asString());
  }
}

HRESULT PageImpl::Navigate(std::string_view address) {
  // A copy first: the address may be lastUrl_ itself (a reload after the
  // browser died), which starting a new browser overwrites.
  const std::string target(address);
  if (!EnsureTarget()) return com::E_FAIL;
  lastUrl_ = target;
  Json::Value p = Obj();
  p["url"] = target;
  // The reply comes when the site answers, which may take long: the page's
  // thread does not wait for it.
  std::weak_ptr<int> token = token_;
  bool sent = process_->CallAsync(generation_, "Page.navigate", p, session_, [this, token, target](const Reply& r) {
    if (token.expired()) return;
    PageImpl* self = this;
    if (!self->sink_) return;
    if (!r.ok || !r.result["errorText"].asString().empty()) {
      if (r.ok || self->Live()) self->sink_->NavigateError(target, true, kNavigateErrorStatus);
    }
  });
  return sent ? com::S_OK : com::E_FAIL;
}

HRESULT PageImpl::Refresh() {
  if (!Live()) return lastUrl_.empty() ? com::E_FAIL : Navigate(lastUrl_);
  process_->Send(generation_, "Page.reload", Obj(), session_);
  return com::S_OK;
}

HRESULT PageImpl::MoveInHistory(int step) {
  // A new browser has no history of the old one: the closest it can come
  // is the last page shown.
  if (!Live()) return lastUrl_.empty() ? com::E_FAIL : Navigate(lastUrl_);
  Reply r = process_->Call(generation_, "Page.getNavigationHistory", Obj(), session_);
  if (!r.ok) return com::E_FAIL;
  const Json::Value& entries = r.result["entries"];
  int current = r.result["currentIndex"].asInt();
  int to = current + step;
  // The blank page every tab starts with is not part of the history.
  int first = (entries.size() > 0 && entries[0]["url"].asString() == "about:blank") ? 1 : 0;
  if (to < first || to >= static_cast<int>(entries.size())) return com::E_FAIL;
  Json::Value p = Obj();
  p["entryId"] = entries[to]["id"];
  return process_->CallAsync(generation_, "Page.navigateToHistoryEntry", p, session_, [](const Reply&) {})
             ? com::S_OK
             : com::E_FAIL;
}

void PageImpl::SetLoadImages(bool load) {
  {
    std::lock_guard lock(settings_->mutex);
    if (settings_->blockMedia == !load) return;
    settings_->blockMedia = !load;
  }
  if (!Live()) return;
  for (const auto& s : sessions_) {
    if (load) process_->Send(generation_, "Fetch.disable", Obj(), s);
    else process_->Send(generation_, "Fetch.enable", MediaPatterns(), s);
  }
}

void PageImpl::SetNewDocumentScript(std::string_view script) {
  {
    std::lock_guard lock(settings_->mutex);
    if (settings_->script == script) return;
    settings_->script = std::string(script);
  }
  if (!Live()) return;
  for (const auto& s : sessions_) {
    for (const auto& id : scriptIds_[s]) {
      Json::Value p = Obj();
      p["identifier"] = id;
      process_->Send(generation_, "Page.removeScriptToEvaluateOnNewDocument", p, s);
    }
    scriptIds_[s].clear();
    if (script.empty()) continue;
    Json::Value p = Obj();
    p["source"] = std::string(script);
    Reply r = process_->Call(generation_, "Page.addScriptToEvaluateOnNewDocument", p, s);
    if (r.ok) scriptIds_[s].push_back(r.result["identifier"].asString());
  }
}

void PageImpl::OnEvent(const Event& e) {
  const std::string& m = e.method;
  const Json::Value& p = e.params;
  if (m == "Runtime.executionContextCreated") {
    const Json::Value& aux = p["context"]["auxData"];
    if (!aux["isDefault"].asBool()) return;
    const std::string frameId = aux["frameId"].asString();
    contexts_[frameId] = {e.sessionId, p["context"]["id"].asInt()};
    // The document of a navigation that committed is there now.
    if (auto it = pendingNavigation_.find(frameId); it != pendingNavigation_.end()) {
      std::string url = it->second;
      pendingNavigation_.erase(it);
      FireNavigateComplete(frameId, url);
    }
  } else if (m == "Runtime.executionContextDestroyed") {
    const int id = p["executionContextId"].asInt();
    for (auto it = contexts_.begin(); it != contexts_.end();)
      it = (it->second.session == e.sessionId && it->second.id == id) ? contexts_.erase(it) : std::next(it);
  } else if (m == "Runtime.executionContextsCleared") {
    for (auto it = contexts_.begin(); it != contexts_.end();)
      it = it->second.session == e.sessionId ? contexts_.erase(it) : std::next(it);
  } else if (m == "Page.frameNavigated") {
    const Json::Value& frame = p["frame"];
    const std::string frameId = frame["id"].asString();
    const std::string url = frame["url"].asString() + frame["urlFragment"].asString();
    frameUrls_[frameId] = url;
    if (frameId == targetId_) {
      url_ = url;
      lastUrl_ = url;
      loader_ = frame["loaderId"].asString();
    }
    // Told once the new document's context exists, so that its handlers
    // work on the new document, not on the one that went.
    if (contexts_.count(frameId)) FireNavigateComplete(frameId, url);
    else pendingNavigation_[frameId] = url;
  } else if (m == "Page.navigatedWithinDocument") {
    const std::string frameId = p["frameId"].asString();
    frameUrls_[frameId] = p["url"].asString();
    if (frameId == targetId_) url_ = lastUrl_ = p["url"].asString();
  } else if (m == "Page.lifecycleEvent") {
    if (p["name"].asString() != "load") return;
    const std::string frameId = p["frameId"].asString();
    // A document whose context never came is reported before its completion.
    if (auto it = pendingNavigation_.find(frameId); it != pendingNavigation_.end()) {
      std::string url = it->second;
      pendingNavigation_.erase(it);
      FireNavigateComplete(frameId, url);
    }
    if (frameId == targetId_) {
      if (p["loaderId"].asString() != loader_ || completedLoader_ == loader_) return;
      completedLoader_ = loader_;
      if (sink_) sink_->DocumentComplete(url_, true);
    } else if (sink_) {
      sink_->DocumentComplete(UrlOf(frameId), false);
    }
  } else if (m == "Page.frameRequestedNavigation") {
    // Schemes the browser does not load itself (such as "app:") come only
    // here; HTTP navigations are not held back, so the answer is advisory.
    if (sink_) sink_->BeforeNavigate2(p["url"].asString(), p["frameId"].asString() == targetId_);
  } else if (m == "Page.frameDetached") {
    // A frame that moves to another process lives on in its own session.
    if (p["reason"].asString() == "swap") return;
    frameUrls_.erase(p["frameId"].asString());
    pendingNavigation_.erase(p["frameId"].asString());
  } else if (m == "Target.attachedToTarget") {
    const std::string child = p["sessionId"].asString();
    const std::string type = p["targetInfo"]["type"].asString();
    if (type == "iframe" || type == "page") sessions_.insert(child);
  } else if (m == "Target.detachedFromTarget") {
    const std::string child = p["sessionId"].asString();
    sessions_.erase(child);
    scriptIds_.erase(child);
    process_->RemoveSession(child);
    for (auto it = contexts_.begin(); it != contexts_.end();)
      it = it->second.session == child ? contexts_.erase(it) : std::next(it);
  } else if (m == "Inspector.targetCrashed" || m == "Inspector.detached") {
    if (e.sessionId == session_) Forget();  // the next navigation makes a new target
  }
}

}  // namespace

com::ComPtr<PageBrowser> CreatePageBrowser(loop::Loop& loop) {
  return com::ComPtr<PageBrowser>::Adopt(new PageImpl(loop));
}

}  // namespace cdp
