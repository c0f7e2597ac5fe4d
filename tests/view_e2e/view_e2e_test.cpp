// End to end: the control's own browser seen and used inside the area of
// its <object> element. wendex-host (real WebKitGTK) runs in a desktop of
// its own (virtual screen, window manager, session bus: desktop-session)
// and shows a page of a real local server whose control loads a listing
// site of the same server into its real Chromium. What the window shows is
// read from the screen; input is real X input (xdotool), with a real input
// method (GTK's own, which composes a character from its code after
// Ctrl+Shift+U) and the real clipboard (xclip).
//
// The test talks to the hosting page and to the site through the server:
// each page takes scripts from /cmd, answers on /result and logs on /log
// (pages/channel.js). Screenshots of the screen are kept in
// build/tests/view_e2e/screenshots/.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 60s;  // only catches hangs

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return done();
}

std::string Output(const std::vector<std::string>& argv) {
  std::string text = e2e::RunProgram(argv).Text();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Scripts for each page and what the pages answer and log, by page id.
class Channel {
 public:
  void Queue(const std::string& id, const std::string& script) {
    std::lock_guard lock(mutex_);
    scripts_[id].push_back(script);
    wake_.notify_all();
  }
  std::optional<std::string> NextScript(const std::string& id) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, 1s, [&] { return !scripts_[id].empty() || closing_; }) || closing_) return std::nullopt;
    std::string s = scripts_[id].front();
    scripts_[id].pop_front();
    return s;
  }
  void Answer(const std::string& id, const std::string& text) {
    std::lock_guard lock(mutex_);
    answers_[id].push_back(text);
    wake_.notify_all();
  }
  std::string TakeAnswer(const std::string& id) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, kPatience, [&] { return !answers_[id].empty(); })) return "<no answer>";
    std::string s = answers_[id].front();
    answers_[id].pop_front();
    return s;
  }
  void Log(const std::string& id, const std::string& text) {
    std::lock_guard lock(mutex_);
    logs_[id].push_back(text);
    wake_.notify_all();
  }
  bool WaitLog(const std::string& id, const std::string& text) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, kPatience, [&] {
      for (const auto& l : logs_[id])
        if (l == text) return true;
      return false;
    });
  }
  std::string Logs(const std::string& id) {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& l : logs_[id]) all += l + "\n";
    return all;
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
    answers_.clear();
    logs_.clear();
  }
  void Close() {
    std::lock_guard lock(mutex_);
    closing_ = true;
    wake_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool closing_ = false;
  std::map<std::string, std::deque<std::string>> scripts_, answers_, logs_;
};

// Starts a program with its standard output and error in files; -1 when
// it cannot be started. Nothing else of this process is inherited that
// could hold a pipe of the test open.
pid_t Spawn(std::vector<std::string> argv, const fs::path& out, const fs::path& err) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// wendex-host on a page, its output in files; killed if it outlives its test.
class Host {
 public:
  Host(const std::string& url, const fs::path& out, const fs::path& err)
      : pid_(Spawn({VELMORA_WENDEX_HOST, "--timeout", "300", url}, out, err)) {}
  ~Host() {
    if (pid_ <= 0) return;
    if (!WaitFor([&] { return Ended(); }, 10s)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  bool Ended() {
    if (pid_ <= 0) return true;
    if (waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }
  // The X id of its window, once it shows.
  std::string Window() {
    if (window_.empty())
      WaitFor([&] {
        std::istringstream ids(Output({"/usr/bin/xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid_)}));
        std::getline(ids, window_);
        return !window_.empty();
      });
    return window_;
  }

 private:
  pid_t pid_ = -1;
  std::string window_;
};

struct Rgb {
  int r = -1, g = -1, b = -1;
  // Frames travel as JPEG: colours come back close, not exact.
  bool Near(const Rgb& o) const { return std::abs(r - o.r) < 40 && std::abs(g - o.g) < 40 && std::abs(b - o.b) < 40; }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c) { return os << "(" << c.r << "," << c.g << "," << c.b << ")"; }

constexpr Rgb kRed{255, 0, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255}, kHostGrey{0xdd, 0xdd, 0xdd};

// The colour of one pixel of a window, from the screen.
Rgb PixelOf(const std::string& window, int x, int y) {
  const std::string text = Output({"/usr/bin/import", "-window", window, "-crop",
                                   "1x1+" + std::to_string(x) + "+" + std::to_string(y), "-depth", "8", "txt:-"});
  Rgb c;
  // "0,0: (R,G,B)  #RRGGBB  ..." after a header line that starts with '#'.
  auto hash = text.find('#', text.find("0,0:"));
  if (hash != std::string::npos && hash + 7 <= text.size())
    std::sscanf(text.c_str() + hash + 1, "%2x%2x%2x", &c.r, &c.g, &c.b);
  return c;
}

class ViewE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(e2e::PrepareControl("view-e2e", &work_));
    shots_ = VELMORA_SCREENSHOTS;
    fs::create_directories(shots_);
    server_ = new support::LocalServer;
    auto& s = server_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(16); };
    s.set_mount_point("/", VELMORA_VIEW_PAGES);
    s.Get("/cmd", [](const httplib::Request& req, httplib::Response& res) {
      if (auto script = channel_.NextScript(req.get_param_value("c"))) res.set_content(*script, "text/plain");
      else res.status = 204;
    });
    s.Post("/result", [](const httplib::Request& req, httplib::Response&) {
      channel_.Answer(req.get_param_value("c"), req.body);
    });
    s.Post("/log", [](const httplib::Request& req, httplib::Response&) {
      channel_.Log(req.get_param_value("c"), req.body);
    });
    ASSERT_TRUE(server_->Start());
    setenv("VELMORA_SERVICE", server_->Url("").c_str(), 1);
    // GTK's own input method: it composes a character from its code, as
    // the input methods of Chinese compose from what is typed.
    setenv("GTK_IM_MODULE", "gtk-im-context-simple", 1);
  }
  static void TearDownTestSuite() {
    channel_.Close();
    delete server_;
    fs::remove_all(work_);
  }
  void SetUp() override { channel_.Reset(); }

  static std::string Url(const std::string& path) { return server_->Url(path); }
  static std::string Eval(const std::string& page, const std::string& script) {
    channel_.Queue(page, script);
    return channel_.TakeAnswer(page);
  }
  // The hosts' output, kept beside the screenshots.
  static fs::path Log(const std::string& name) { return shots_ / name; }

  // The whole screen, kept with the test's output.
  static void Screenshot(const std::string& name) {
    const std::string file = (shots_ / (name + ".png")).string();
    e2e::RunProgram({"/usr/bin/import", "-window", "root", "-depth", "8", file});
    EXPECT_TRUE(fs::exists(file)) << file;
  }
  // Waits until a pixel of the window has a colour near `colour`.
  static bool PixelBecomes(const std::string& window, int x, int y, const Rgb& colour, Rgb* last) {
    return WaitFor([&] { return (*last = PixelOf(window, x, y)).Near(colour); });
  }
  // The page closes its window (it cannot answer: it is gone).
  static void CloseHost(Host& host) {
    channel_.Queue("host", "window.close()");
    EXPECT_TRUE(WaitFor([&] { return host.Ended(); }));
  }
  static void Xdo(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/xdotool");
    EXPECT_EQ(e2e::RunProgram(args).exitCode, 0);
  }

  static inline fs::path work_;
  static inline fs::path shots_;
  static inline support::LocalServer* server_ = nullptr;
  static inline Channel channel_;
};

// Where the control's area starts in the hosting window: host.html puts
// the element at (40, 30).
constexpr int kBoxX = 40, kBoxY = 30;
// Where site.html puts its things, in the site's page.
constexpr int kBlockX = 200, kBlockY = 125;  // the middle of the coloured block
constexpr int kFieldX = 150, kFieldY = 312;
constexpr int kButtonX = 560, kButtonY = 320;
constexpr int kWordX = 130, kWordY = 412;
constexpr int kLinkX = 515, kLinkY = 412;

TEST_F(ViewE2E, SiteShowsInTheBoxFollowsItsChangesAndItsSize) {
  Host host(Url("/host.html"), Log("shows.out"), Log("shows.err"));
  ASSERT_TRUE(channel_.WaitLog("host", "loaded ?first")) << channel_.Logs("host");
  ASSERT_TRUE(channel_.WaitLog("site", "ready ?first")) << channel_.Logs("site");
  const std::string window = host.Window();
  ASSERT_FALSE(window.empty());

  // The site's viewport is the element's size.
  EXPECT_EQ(Eval("site", "innerWidth + 'x' + innerHeight"), "800x600");
  // The site's block where the site puts it, the site's white around it,
  // the hosting page's grey outside the box.
  Rgb seen;
  EXPECT_TRUE(PixelBecomes(window, kBoxX + kBlockX, kBoxY + kBlockY, kRed, &seen)) << seen;
  EXPECT_TRUE(PixelOf(window, kBoxX + 700, kBoxY + 500).Near(kWhite));
  EXPECT_TRUE(PixelOf(window, kBoxX + 5, kBoxY + 5).Near(kWhite));
  EXPECT_TRUE(PixelOf(window, kBoxX - 10, kBoxY + 300).Near(kHostGrey));
  EXPECT_TRUE(PixelOf(window, kBoxX + 300, kBoxY + 610).Near(kHostGrey));
  Screenshot("shows-site");

  // The site changes a colour; the box shows it.
  Eval("site", "document.getElementById('block').style.background = '#0000ff'");
  EXPECT_TRUE(PixelBecomes(window, kBoxX + kBlockX, kBoxY + kBlockY, kBlue, &seen)) << seen;
  Screenshot("shows-change");

  // The page resizes the element; the site's viewport follows, and the
  // hosting page shows where the box was.
  Eval("host", "ctl.width = 600; ctl.height = 400");
  EXPECT_TRUE(WaitFor([&] { return Eval("site", "innerWidth + 'x' + innerHeight") == "600x400"; }));
  EXPECT_TRUE(PixelBecomes(window, kBoxX + 700, kBoxY + 500, kHostGrey, &seen)) << seen;
  EXPECT_TRUE(PixelOf(window, kBoxX + kBlockX, kBoxY + kBlockY).Near(kBlue));
  Screenshot("shows-resized");

  CloseHost(host);
}

TEST_F(ViewE2E, InputInTheBoxReachesTheSite) {
  Host host(Url("/host.html"), Log("input.out"), Log("input.err"));
  ASSERT_TRUE(channel_.WaitLog("site", "ready ?first")) << channel_.Logs("site");
  const std::string window = host.Window();
  ASSERT_FALSE(window.empty());
  Rgb seen;
  ASSERT_TRUE(PixelBecomes(window, kBoxX + kBlockX, kBoxY + kBlockY, kRed, &seen)) << seen;
  Xdo({"windowactivate", "--sync", window});
  auto moveTo = [&](int x, int y) {
    Xdo({"mousemove", "--window", window, "--sync", std::to_string(kBoxX + x), std::to_string(kBoxY + y)});
  };
  // What the hosting page shows as the cursor at a point of the box.
  auto cursorAt = [&](int x, int y) {
    return Eval("host", "getComputedStyle(document.elementFromPoint(" + std::to_string(kBoxX + x) + "," +
                            std::to_string(kBoxY + y) + ")).cursor");
  };

  // The cursor follows the site: a hand over its link, an arrow elsewhere.
  moveTo(kLinkX, kLinkY);
  EXPECT_TRUE(WaitFor([&] { return cursorAt(kLinkX, kLinkY) == "pointer"; })) << cursorAt(kLinkX, kLinkY);
  moveTo(kBlockX, kBlockY);
  EXPECT_TRUE(WaitFor([&] { return cursorAt(kBlockX, kBlockY) == "default"; })) << cursorAt(kBlockX, kBlockY);

  // A click on the button, a double click on the word.
  moveTo(kButtonX, kButtonY);
  Xdo({"click", "1"});
  EXPECT_TRUE(channel_.WaitLog("site", "clicked")) << channel_.Logs("site");
  moveTo(kWordX, kWordY);
  Xdo({"click", "--repeat", "2", "--delay", "80", "1"});
  EXPECT_TRUE(channel_.WaitLog("site", "double clicked")) << channel_.Logs("site");

  // Typing into the site's field: keys, Chinese characters committed by
  // the input method (composed from their codes), and the keys that edit.
  moveTo(kFieldX, kFieldY);
  Xdo({"click", "1"});
  EXPECT_TRUE(WaitFor([&] { return Eval("site", "document.activeElement.id") == "field"; }));
  Xdo({"type", "--delay", "40", "abc"});
  for (const char* code : {"623f", "6e90", "4e2d"}) {  // 房 源 中
    Xdo({"key", "ctrl+shift+u"});
    Xdo({"type", "--delay", "40", code});
    Xdo({"key", "space"});
  }
  Xdo({"key", "x", "BackSpace"});
  const std::string field = "document.getElementById('field').value";
  EXPECT_TRUE(WaitFor([&] { return Eval("site", field) == "abc房源中"; })) << Eval("site", field);
  Screenshot("input-typed");

  // Paste from the desktop's clipboard into the site (xclip stays behind
  // to serve the clipboard)...
  const fs::path clip = work_ / "clipboard.txt";
  std::ofstream(clip) << "粘贴 text";
  const pid_t xclip = Spawn({"/usr/bin/xclip", "-selection", "clipboard", "-i", clip.string()}, "/dev/null", "/dev/null");
  ASSERT_GT(xclip, 0);
  waitpid(xclip, nullptr, 0);
  Xdo({"key", "ctrl+v"});
  EXPECT_TRUE(WaitFor([&] { return Eval("site", field) == "abc房源中粘贴 text"; })) << Eval("site", field);
  // ...and copy the site's selection to it.
  Eval("site", "document.getElementById('field').setSelectionRange(0, 5)");
  Xdo({"key", "ctrl+c"});
  EXPECT_TRUE(WaitFor([&] { return Output({"/usr/bin/xclip", "-selection", "clipboard", "-o"}) == "abc房源"; }))
      << Output({"/usr/bin/xclip", "-selection", "clipboard", "-o"});

  // The wheel scrolls the site, not the hosting page.
  moveTo(kBlockX, kBlockY);
  Xdo({"click", "--repeat", "3", "--delay", "50", "5"});
  EXPECT_TRUE(WaitFor([&] { return Eval("site", "scrollY > 0") == "true"; }));
  EXPECT_EQ(Eval("host", "scrollY"), "0");
  Screenshot("input-scrolled");

  CloseHost(host);
}

TEST_F(ViewE2E, ControlsWithoutAnAreaStartNoView) {
  // Every event the control's browsers send is traced to the host's
  // standard error: frames of a view would show there.
  setenv("VELMORA_CDP_TRACE", "1", 1);
  Host host(Url("/noarea.html"), Log("noarea.out"), Log("noarea.err"));
  unsetenv("VELMORA_CDP_TRACE");
  for (const char* who : {"loaded script", "loaded zero", "loaded hidden"})
    ASSERT_TRUE(channel_.WaitLog("host", who)) << channel_.Logs("host");
  // The site repaints every 50 ms; give a view time to show.
  std::this_thread::sleep_for(2s);
  const std::string trace = e2e::ReadFile(Log("noarea.err"));
  EXPECT_NE(trace.find("Page.lifecycleEvent"), std::string::npos);
  EXPECT_EQ(trace.find("Page.screencastFrame"), std::string::npos);
  Screenshot("noarea");

  // The hidden element shown: its control's browser shows in it.
  Eval("host", "controls.hidden.style.display = 'block'");
  EXPECT_TRUE(WaitFor([&] { return e2e::ReadFile(Log("noarea.err")).find("Page.screencastFrame") != std::string::npos; }));
  CloseHost(host);
}

}  // namespace
