// End to end: a page in wendex-host creates the control and drives the
// control's own browser (Chromium) over pages of a real local server: load
// waits and their callbacks, the browser methods, links and dialogs of every
// frame, and a browser process killed in the middle of a session.
//
// The pages of the control's browser tell the server what they look like
// (probe.js); the hosting page reads those notes back through the server and
// prints everything it learns on the console, one line each.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The processes below this one whose command line holds `marker`, leaving
// out the browser's helpers (renderers and the like, which carry a --type).
std::vector<pid_t> Descendants(const std::string& marker) {
  std::map<pid_t, pid_t> parent;
  std::vector<pid_t> marked;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    std::string stat = ReadFile(entry.path() / "stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    parent[pid] = ppid;
    std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.find(marker) != std::string::npos && cmdline.find("--type=") == std::string::npos)
      marked.push_back(pid);
  }
  std::vector<pid_t> mine;
  for (pid_t p : marked) {
    for (pid_t a = parent[p]; a > 1; a = parent[a])
      if (a == getpid()) {
        mine.push_back(p);
        break;
      }
  }
  return mine;
}

class BrowserE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_CODEPAGE", "GBK", 1);
    ASSERT_TRUE(PrepareControl("browser-e2e", &work_));

    server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_.set_mount_point("/", VELMORA_E2E_PAGES);
    // A script that arrives after ?ms=; the page's load ends right after it.
    server_.Get("/b/delay.js", [this](const httplib::Request& req, httplib::Response& res) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(req.get_param_value("ms")));
      while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
      {
        std::lock_guard lock(mutex_);
        sent_[req.get_param_value("id")] = NowMs();
      }
      res.set_content("var delayed = 1;", "application/javascript");
    });
    // A page that comes after ?ms= the first time, at once after that.
    server_.Get("/b/slowpage", [this](const httplib::Request& req, httplib::Response& res) {
      bool first;
      {
        std::lock_guard lock(mutex_);
        first = slowPagesSent_.insert(req.get_param_value("ms")).second;
      }
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(req.get_param_value("ms")));
      while (first && !stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
      res.set_content("<!DOCTYPE html><title>slow</title><p>slow</p>", "text/html");
    });
    server_.Get("/b/sent", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      res.set_content(std::to_string(sent_[req.get_param_value("id")]), "text/plain");
    });
    server_.Get("/b/note", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mutex_);
        auto& n = notes_[req.get_param_value("k")];
        n.first++;
        n.second = req.get_param_value("v");
      }
      changed_.notify_all();
      res.set_content("", "text/plain");
    });
    // The first note of a document that arrives after this request.
    server_.Get("/b/next", [this](const httplib::Request& req, httplib::Response& res) {
      std::unique_lock lock(mutex_);
      auto& n = notes_[req.get_param_value("k")];
      const long seen = n.first;
      bool got = changed_.wait_for(lock, 5s, [&] { return n.first != seen || stopping_; });
      res.set_content(got ? n.second : "no note", "text/plain");
    });
    // SIGKILL to the browser process of the control (a child of the web
    // process under wendex-host under this test).
    server_.Get("/b/kill", [](const httplib::Request&, httplib::Response& res) {
      int n = 0;
      for (pid_t pid : Descendants("--remote-debugging-pipe")) n += ::kill(pid, SIGKILL) == 0;
      res.set_content(std::to_string(n), "text/plain");
    });
    ASSERT_TRUE(local_.Start());
    setenv("VELMORA_SERVICE", Url("").c_str(), 1);
  }
  void TearDown() override {
    stopping_ = true;
    changed_.notify_all();
    local_.Stop();
    unsetenv("VELMORA_SERVICE");
    fs::remove_all(work_);
  }
  std::string Url(const std::string& path) const { return local_.Url(path); }

  // Runs a hosting page; timing lines ("ms NAME VALUE") go to `timings`.
  std::vector<std::string> Host(const std::string& page, std::map<std::string, long>* timings) {
    Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "90", Url(page)});
    EXPECT_EQ(run.exitCode, 0) << run.Text();
    std::vector<std::string> lines;
    for (const auto& l : run.lines) {
      if (l.rfind("ms ", 0) == 0) {
        auto space = l.rfind(' ');
        (*timings)[l.substr(3, space - 3)] = std::stol(l.substr(space + 1));
      } else {
        lines.push_back(l);
      }
    }
    return lines;
  }

  fs::path work_;
  support::LocalServer local_;
  httplib::Server& server_ = local_.server;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, long long> sent_;
  std::map<std::string, std::pair<long, std::string>> notes_;
  std::set<std::string> slowPagesSent_;
};

TEST_F(BrowserE2E, LoadWaitsAndBrowserMethods) {
  std::map<std::string, long> ms;
  std::vector<std::string> lines = Host("/browser.html", &ms);
  const std::string quiet = "alert=replaced confirm=replaced prompt=replaced";
  const std::string own = "alert=native confirm=native prompt=native";
  const std::vector<std::string> expected = {
      "step welcome, and back with no history",
      "src /ocx/welcome.html statue 104",
      "src /ocx/welcome.html same document true",
      "step a page that completes after 2 s",
      "FSetSrc returned 99",
      "done [\"a\",\"b\"]",
      "statue 104",
      "step two waits before one load, then a page that takes 20 s",
      "statue while loading 101",
      "late []",
      "outcomes late seen unseen",
      "step a callback with only a name; an empty list",
      "named []",
      "calls 0",
      // "_blank" in any case became "_self" in every frame, the other
      // site's one too; the page's dialogs are replaced in all of them.
      "step links and dialogs of every frame",
      "top targets=_self,_self,other,_top " + quiet,
      "same targets=_self,_parent " + quiet,
      "cross targets=_self,_parent " + quiet,
      "step pages keep their own dialogs after FIsAlert(1)",
      "top targets=_self,_self,other,_top " + own,
      "same targets=_self,_parent " + own,
      "cross targets=_self,_parent " + own,
      // The short script: the top page's alert and confirm only.
      "after FIsAlert(0): top targets=_self,_self,other,_top alert=replaced confirm=replaced prompt=native; "
      "same targets=_self,_parent " + own,
      "step an app: link",
      "src /app.html statue 104 same document true",
      "step history moves end in a load",
      "moved [\"back\"] /page.html?h=1",
      "moved [\"forward\"] /page.html?h=2",
      "moved [\"refresh\"] /page.html?h=2 new document true",
      "step cookies",
      "set 0 malformed 0",
      // Through the code page: the character it lacks comes back as its default.
      "cookie word=房?; flavour=plain",
      "step an address through the code page",
      "src /page.html?q=%E6%88%BF",
  };
  EXPECT_EQ(lines, expected);
  // FSetSrc does not wait for the load; the callback comes after its end,
  // from the load rather than from the end of the wait. How soon after is
  // a benchmark figure (bench/browser: load_to_callback_median_ms); the
  // bound here only catches a wait that never saw the load.
  EXPECT_LT(ms["call"], 3000);
  EXPECT_GE(ms["after load"], 0);
  EXPECT_LT(ms["after load"], 8500);
  // A load that does not end in time is reported after the wait's nine seconds.
  EXPECT_GE(ms["late after"], 8500);
  EXPECT_LT(ms["late after"], 15000);
}

TEST_F(BrowserE2E, KilledBrowserIsReplacedAndNoCallbackIsLost) {
  std::map<std::string, long> ms;
  std::vector<std::string> lines = Host("/killed.html", &ms);
  const std::string alive = "statue 104 src [" + Url("/page.html?before") + "] cookie [k=1] setcookie 0";
  const std::vector<std::string> expected = {
      "step a page, then the browser killed during a wait",
      alive,
      "killed 1",
      // With the browser gone the methods behave as with no document.
      "statue 1 src [] cookie [] setcookie 99",
      // The running wait still ends, through "callback_2".
      "late [\"k\"]",
      "step the next FSetSrc starts a new browser",
      "src /page.html?again statue 104",
      "step killed again: a reload starts one too",
      "killed 1",
      "moved [\"refresh\"] /page.html?again statue 104",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_GE(ms["wait"], 8500);
  EXPECT_LT(ms["wait"], 15000);
}

// Pages that stop answering: a script that runs for a minute, and the
// layout of a megabyte of markup. Every document method comes back soon, as
// without a document, and the navigation methods leave the page at once
// (closing it when it does not answer, even when it stops answering only
// after the navigation was sent). Before, each method waited ten
// seconds per call and the navigations never happened.
TEST_F(BrowserE2E, PagesThatDoNotAnswerHoldNothing) {
  std::map<std::string, long> ms;
  std::vector<std::string> lines = Host("/stuck.html", &ms);
  const std::vector<std::string> expected = {
      "step a page whose script runs for a minute",
      "FFillForm=1 FFillFormS=1 FFillForm1=1 FAddToBody=1 FAddToForm=1 FChangeAction=0 FClickLink=1 "
      "FSetTarget=1 FGetSource=getSource_error FGetStatue=1 FGetCookie= FSetCookie=99 FIsAlert=undefined "
      "FCloseEvent=undefined",
      "step FSetSrc leaves it",
      "loaded [] /page.html?after",
      "step FBack and FRefresh leave it",
      "moved [\"back\"] /page.html?before",
      "moved [\"refresh\"] /busy.html?refresh",
      "step a page that stops answering while the next one is on its way",
      "loaded [] /b/slowpage?ms=3000",
      "step a megabyte of markup",
      "FAddToBody 0",
      "loaded [] /page.html?after-big",
      "step methods that start a wait",
      "FCallJSF=1 FClickInput=undefined FSubmitForm=1",
  };
  EXPECT_EQ(lines, expected);
  // The bounds only catch a method that waits for the page (ten seconds a
  // call before); how long each takes is the engine's bound of 1.5 s.
  for (const auto& [name, value] : ms) {
    if (name.rfind("busy ", 0) == 0 || name.rfind("big ", 0) == 0) {
      EXPECT_LT(value, 4000) << name;
    }
  }
  // Left within the load wait's nine seconds (a navigation that never
  // happened ended in "late").
  for (const char* name : {"FSetSrc", "FBack", "FRefresh", "FSetSrc before the commit", "FSetSrc after markup"}) {
    EXPECT_GT(ms.count(name), 0u) << name;
    EXPECT_LT(ms[name], 8500) << name;
  }
}

}  // namespace
