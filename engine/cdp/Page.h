// One page target of the browser with its frames, their script contexts
// and its events: the page browser the control holds.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/cdp/BrowserProcess.h"
#include "engine/cdp/CdpBrowser.h"
#include "engine/cdp/RemoteHandle.h"
#include "engine/cdp/Screencast.h"

namespace cdp {

class PageImpl final : public com::RefCounted<PageBrowser> {
 public:
  explicit PageImpl(loop::Loop& loop);
  ~PageImpl() override;

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override;

  // --- engine::Browser ---
  com::HRESULT get_Document(engine::Document** document) override;
  com::HRESULT get_LocationURL(std::string* url) override;
  com::HRESULT get_ReadyState(std::int32_t* state) override;
  com::HRESULT Navigate(std::string_view url) override;
  com::HRESULT Refresh() override;
  com::HRESULT GoBack() override { return MoveInHistory(-1); }
  com::HRESULT GoForward() override { return MoveInHistory(1); }
  com::HRESULT put_Silent(bool silent) override;
  com::HRESULT Advise(engine::BrowserEvents* sink) override;
  com::HRESULT SetLoadImages(bool load) override;
  com::HRESULT SetNewDocumentScript(std::string_view script) override;
  com::HRESULT SetViewSize(int width, int height) override;
  com::HRESULT ShowView(engine::ViewBox* box) override;
  pid_t BrowserProcessId() const override { return process_->pid(); }

  // --- for the objects of the page ---
  bool Live() const { return !session_.empty() && process_->Alive(generation_); }
  const std::shared_ptr<BrowserProcess>& process() const { return process_; }
  int generation() const { return generation_; }
  loop::Loop& loop() const { return watch_->loop(); }
  // The page's own session; empty while it has no target.
  const std::string& session() const { return session_; }
  // The main-world context of a frame, or null.
  const Context* ContextOf(const std::string& frameId) const;
  std::string UrlOf(const std::string& frameId) const;
  // The document of a frame; S_OK with null when the frame has none now.
  com::HRESULT DocumentOf(const std::string& frameId, engine::Document** document);

  // --- for the browser process ---
  // Events of this page's sessions, on the loop's thread.
  void OnEvent(const Event& e);
  // The browser process went away: everything it held is gone.
  void OnBrowserGone() { Forget(); }
  // The reader thread added the new-document script to a child session.
  void OnChildScriptAdded(const std::string& session, const std::string& identifier);

 private:
  // The event table: one handler per event the page acts on.
  using EventHandler = void (PageImpl::*)(const Event& e);
  struct EventEntry {
    const char* method;
    EventHandler handler;
  };
  static const EventEntry kEvents[];

  void OnContextCreated(const Event& e);
  void OnContextDestroyed(const Event& e);
  void OnContextsCleared(const Event& e);
  void OnFrameNavigated(const Event& e);
  void OnNavigatedWithinDocument(const Event& e);
  void OnLifecycleEvent(const Event& e);
  void OnFrameRequestedNavigation(const Event& e);
  void OnFrameDetached(const Event& e);
  void OnAttachedToTarget(const Event& e);
  void OnDetachedFromTarget(const Event& e);
  void OnTargetGone(const Event& e);
  void OnScreencastFrame(const Event& e);

  // A page target with its session, made when there is none.
  bool EnsureTarget();
  // Closes the page target when its own thread does not answer, so that
  // the navigation about to start opens a new page instead of waiting
  // behind a script that runs on or a layout that does not end.
  void CloseIfStuck();
  // Closes the page target; the next navigation makes a new one.
  void CloseTarget();
  // A page may stop answering after a navigation was sent and before it
  // commits (a script that starts just then). Once the site has answered,
  // the main frame commits at once unless the page's thread is held: when
  // it has not after kPageAnswerMs and does not answer either, the page is
  // closed and the navigation made again in a new one. (While a navigation waits for its site, the
  // browser holds every call to the page, so no call can tell.)
  void OnCommitOverdue();
  void SetUpSession(const std::string& session);
  void AddNewDocumentScript(const std::string& session, const std::string& script);
  void ApplyViewSize();
  com::HRESULT MoveInHistory(int step);
  void Forget();
  // Tells the sink about a navigation whose document is in place.
  void FireNavigateComplete(const std::string& frameId, const std::string& url);
  // The navigation of a frame still waiting for its context, told now.
  void FlushPendingNavigation(const std::string& frameId);

  std::shared_ptr<BrowserProcess> process_;
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
  std::unique_ptr<loop::FunctionTarget> watch_;
  std::string watchedUrl_;  // of the last navigation sent, until the main frame commits
  int navigation_ = 0;      // navigations sent
  // The page shown in a box of the hosting page; null without one.
  std::unique_ptr<Screencast> view_;
};

}  // namespace cdp
