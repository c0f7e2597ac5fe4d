// The browser process shared by every page browser of this process: it is
// launched when a page first needs it and launched again after it died;
// each launch is a new generation, and whatever belonged to an older one
// is gone. It routes the events of each session to the page that owns the
// session, and answers on the reader thread what cannot wait for the
// page's thread: dialogs, paused image requests, and new frames that wait
// to be set up before they run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cdp/Connection.h"
#include "engine/cdp/DialogAnswerer.h"
#include "platform/loop.h"

namespace cdp {

class PageImpl;

// What the reader thread needs to know of a page to answer for it at once.
struct PageSettings {
  std::mutex mutex;
  bool silent = true;  // nobody can answer a dialog of a hidden browser
  bool blockMedia = false;
  std::string script;  // runs in every new document before the page's own scripts
  // Set when a call on the page went unanswered (page's thread only).
  bool unanswering = false;
  std::chrono::steady_clock::time_point lastCheck;  // of a page marked unanswering
};

class BrowserProcess {
 public:
  // No protocol call waits longer than this for its reply.
  static constexpr int kCallTimeoutMs = 10000;
  // A call that the page's own thread answers (running script in it,
  // reading its document) waits this long at most: a page whose script
  // runs on, or that lays out a huge document, must not hold the thread
  // of the page that drives it. Its calls come back in well under a
  // millisecond while it answers, so only a page that has stopped
  // answering runs into this bound; and one document method of the
  // control, which may make many calls, stays within two seconds.
  static constexpr int kPageAnswerMs = 1500;
  // Once one call went unanswered, later calls on that page fail at once;
  // every so often one short probe asks whether it answers again.
  static constexpr int kRecheckEveryMs = 500;
  static constexpr int kRecheckWaitMs = 100;

  explicit BrowserProcess(loop::Loop& loop);
  ~BrowserProcess();
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  // The one browser process of this process, made on first use.
  static std::shared_ptr<BrowserProcess> Get(loop::Loop& loop);

  bool Alive() const { return conn_ && conn_->alive(); }
  bool Alive(int generation) const { return Alive() && generation == generation_; }
  int generation() const { return generation_; }
  pid_t pid() const { return Alive() ? conn_->pid() : -1; }

  // A running browser: the present one, or a new one when it died.
  bool Ensure();

  // Commands of a generation; they fail (or do nothing) once it has gone.
  Reply Call(int generation, const protocol::Command& command, std::string_view session,
             int timeoutMs = kCallTimeoutMs);
  void Send(int generation, const protocol::Command& command, std::string_view session);
  bool CallAsync(int generation, const protocol::Command& command, std::string_view session,
                 Connection::ReplyHandler handler);

  // Whether the page of `session` answers a plain evaluation: within
  // kPageAnswerMs, or kRecheckWaitMs when it is already marked as not
  // answering or `known` says it has already kept something waiting that
  // long. The mark follows the outcome.
  bool Answers(int generation, std::string_view session, bool known = false);
  // Whether the page of `session` may be asked for its document: a page
  // that answers, or one marked as not answering that a probe (at most one
  // every kRecheckEveryMs) finds answering again. A page that does not
  // answer within kPageAnswerMs is marked.
  bool MayAskPage(int generation, std::string_view session);

  // The first blank tab of a new browser, once.
  bool TakeFirstTab(std::string* targetId);

  void AddPage(PageImpl* page) { pages_.insert(page); }
  void RemovePage(PageImpl* page);
  // Events of `session` go to `page`; the reader thread answers for it with `settings`.
  void AddSession(const std::string& session, PageImpl* page, std::shared_ptr<PageSettings> settings);
  void RemoveSession(const std::string& session);

 private:
  struct SessionEntry {
    PageImpl* page = nullptr;
    std::shared_ptr<PageSettings> settings;
  };

  // On the loop's thread: an event of the present generation goes to its page.
  void OnEvent(int generation, const Event& e);
  // On the reader thread: what must be answered before anything else runs.
  bool Intercept(Connection& c, const Event& e);
  // A new frame or page waits for us: set it up like its page, then let it run.
  void SetUpChild(Connection& c, const std::string& child, const SessionEntry& parent);
  // Whether dialogs of the page of `session` are answered (reader thread).
  bool Silent(const std::string& session);
  // The settings of the page of `session`, if any (reader thread).
  SessionEntry EntryOf(const std::string& session);
  // False when the page is marked unanswering and a short probe finds it
  // still so (at most one probe every kRecheckEveryMs).
  bool MayAnswer(int generation, std::string_view session, PageSettings& page);
  // A probe of the page's thread that waits `waitMs`; any reply, even a refusal, is an answer.
  bool Probe(int generation, std::string_view session, int waitMs);

  loop::Loop& loop_;
  std::unique_ptr<Connection> conn_;
  std::unique_ptr<DialogAnswerer> answerer_;
  // Connections of browsers that died, ended outside their own callbacks.
  std::vector<std::unique_ptr<Connection>> graveyard_;
  std::unique_ptr<loop::FunctionTarget> reaper_;
  int generation_ = 0;
  bool firstTabFree_ = false;
  std::set<PageImpl*> pages_;
  std::map<std::string, PageImpl*> routes_;
  std::mutex settingsMutex_;
  std::map<std::string, SessionEntry> settings_;
};

}  // namespace cdp
