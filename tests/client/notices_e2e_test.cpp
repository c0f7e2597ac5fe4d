// End to end: the real Velmora's notification popup (pMessage), its
// timeline, its window.external and its script library; and the load
// watchdog giving up on a page that never completes (its own ctest, as it
// takes a minute). The desktop and the page channel: client_support.h.
#include <fstream>

#include "tests/client/client_support.h"

namespace {

using namespace clienttest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kPopupTitle[] = "欢迎页";

class NoticesE2E : public ClientE2E {
 protected:
  // Shows a notice; its HTML must hold no single quotation mark.
  void Notice(Client& c, const std::string& html) {
    EXPECT_EQ(Eval(c, "external.pMessage('" + html + "'), 'shown'"), "shown");
  }
  // The popup's window while it is shown; empty when hidden.
  static std::string Popup(const Client& c) { return c.ShownWindow(kPopupTitle); }
  static bool Hidden(const Client& c) { return Popup(c).empty(); }
  // Waits until the popup shows; its window.
  std::string Shown(const Client& c) {
    std::string w;
    EXPECT_TRUE(WaitFor([&] { return !(w = Popup(c)).empty(); })) << Output({"/usr/bin/wmctrl", "-lp"});
    return w;
  }
  // Clicks at a point of a window.
  static void ClickAt(const std::string& window, int dx, int dy) {
    auto g = Geometry(window);
    ASSERT_TRUE(g);
    Output({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string((*g)[0] + dx), std::to_string((*g)[1] + dy),
            "click", "1"});
  }
  static void PointerAway() { Output({"/usr/bin/xdotool", "mousemove", "--sync", "5", "5"}); }
  // Sleeps until `at`; false when the test was kept from running past
  // `latest` (a loaded machine), so that a check made then proves nothing.
  static bool SleepUntil(Clock::time_point at, Clock::time_point latest) {
    std::this_thread::sleep_until(at);
    return Clock::now() <= latest;
  }
};

const std::string kFirst =
    R"(<div class="vlm_txcon"><p class="con_tt">新房源提醒</p><p>您有<span class="ori">3</span>条新消息</p>)"
    R"(<p class="p2">来自 Velmora</p></div><div class="vlm_tkck clearfix"><a class="ck">查看</a><a class="nextp">下一条</a></div>)";
const std::string kSecond = R"(<div class="vlm_txcon"><p class="con_tt">second notice</p></div>)";

TEST_F(NoticesE2E, ANoticeShowsAtTheWorkAreasCornerAndTheNextOneStartsOver) {
  auto c = StartOnPage("paul");
  PointerAway();
  auto t0 = Clock::now();
  Notice(*c, kFirst);
  std::string first = Shown(*c);
  // At the work area's width and height less 255 and 148, 251 x 145, above
  // every window, in no task list and without the focus.
  std::istringstream area(Output({"/usr/bin/xprop", "-root", "-notype", "_NET_WORKAREA"}).substr(16));
  int ax = 0, ay = 0, aw = 0, ah = 0;
  char comma;
  area >> ax >> comma >> ay >> comma >> aw >> comma >> ah;
  ASSERT_GT(aw, 0);
  EXPECT_TRUE(WaitFor([&] {
    auto g = Geometry(first);
    return g && *g == std::array<int, 4>{aw - 255, ah - 148, 251, 145};
  })) << Output({"/usr/bin/xwininfo", "-id", first});
  std::string state = WindowState(first);
  EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
  EXPECT_NE(state.find("_NET_WM_STATE_SKIP_TASKBAR"), std::string::npos) << state;
  std::string hints = Output({"/usr/bin/xprop", "-id", first, "WM_HINTS"});
  EXPECT_NE(hints.find("input focus: False"), std::string::npos) << hints;
  std::string shape = Output({"/usr/bin/xwininfo", "-shape", "-id", first});
  EXPECT_NE(shape.find("Window shape extents:  251x145+0+0"), std::string::npos) << shape;
  // Kept once its page has painted: the title bar is blue.
  EXPECT_TRUE(WaitFor([&] {
    std::string rgb = PixelOf(ShootScreen("popup"), aw - 255 + 120, ah - 148 + 4);
    return rgb.size() == 6 && std::stoi(rgb.substr(4, 2), nullptr, 16) > std::stoi(rgb.substr(0, 2), nullptr, 16) + 60;
  }));

  // Five seconds later a second notice replaces the first and starts the
  // count again: it still shows after the first one's 15 s and fade.
  std::this_thread::sleep_until(t0 + 5s);
  auto t1 = Clock::now();
  Notice(*c, kSecond);
  EXPECT_TRUE(WaitFor([&] { std::string w = Popup(*c); return !w.empty() && w != first; }));
  if (SleepUntil(t0 + 18s, t1 + 14s)) {
    EXPECT_FALSE(Hidden(*c)) << "the second notice went with the first one's time";
  }
  ShootScreen("popup-second");
  // And it goes by itself once its own time is up.
  EXPECT_TRUE(WaitFor(std::bind(&Hidden, std::cref(*c))));
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(NoticesE2E, TheMouseMovingOverANoticeHoldsItForAnotherPeriod) {
  auto c = StartOnPage("quinn");
  PointerAway();
  auto t0 = Clock::now();
  Notice(*c, kSecond);
  std::string popup = Shown(*c);
  // Moved over before the first check (15 s), then resting on it.
  std::this_thread::sleep_until(t0 + 8s);
  auto g = Geometry(popup);
  ASSERT_TRUE(g);
  for (int dx : {60, 90, 120, 150})
    Output({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string((*g)[0] + dx), std::to_string((*g)[1] + 80)});
  // The first check holds it...
  if (SleepUntil(t0 + 22s, t0 + 28s)) {
    EXPECT_FALSE(Hidden(*c)) << "the motion did not hold the notice";
  }
  // ...the next one, with no motion since, lets it go although the pointer rests there.
  EXPECT_TRUE(WaitFor(std::bind(&Hidden, std::cref(*c))));
  PointerAway();
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(NoticesE2E, TheCloseAreaHidesAtOnceAndMinimisingDoesNothing) {
  auto c = StartOnPage("rita");
  Notice(*c, kFirst);
  std::string popup = Shown(*c);
  Output({"/usr/bin/xdotool", "windowminimize", popup});
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(Hidden(*c));
  EXPECT_EQ(WindowState(popup).find("_NET_WM_STATE_HIDDEN"), std::string::npos);
  // The close area: 37 x 16 at the top right.
  ClickAt(popup, 251 - 18, 8);
  EXPECT_TRUE(WaitFor(std::bind(&Hidden, std::cref(*c)), 5s)) << "a click on the close area did not hide it";
  PointerAway();
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(NoticesE2E, ANoticesLinkHandsItsScriptToTheMainPage) {
  auto c = StartOnPage("sam");
  std::string main = c->Window();
  Output({"/usr/bin/xdotool", "windowminimize", "--sync", main});
  ASSERT_TRUE(StatusBecomes(*c, 0));
  // A link over the notice's lower part, so that a click finds it.
  Notice(*c, R"(<a id="go" href="#" style="display:block;position:absolute;left:0;top:40px;width:251px;height:100px")"
             R"( onclick="window.external.callJs(&quot;openListing(42)&quot;); return false;">查看</a>)");
  std::string popup = Shown(*c);
  EXPECT_TRUE(WaitFor([&] {
    ClickAt(popup, 125, 90);
    return WaitFor([&] { return channel_->Logged("sam", "runClientJs:openListing(42):openListing(42)"); }, 2s);
  })) << channel_->Logs("sam");
  // The main window came back maximised, and getExcuteStr keeps the text.
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(WaitFor([&] { return Maximized(main); }));
  EXPECT_EQ(Eval(*c, "external.getExcuteStr()"), "openListing(42)");
  PointerAway();
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(NoticesE2E, ANoticesScriptUsesJQueryOne) {
  auto c = StartOnPage("tina");
  // .live, .size and $.browser are gone from later versions.
  Notice(*c, R"(<span id="q">x</span><script>)"
             R"($("#q").live("click", function() { window.external.callJs("jq:" + $.fn.jquery + ":" +)"
             R"( (typeof $.browser) + ":" + $("#q").size() + ":" + $("#popWClose").length); });)"
             R"($("#q").trigger("click");</script>)");
  EXPECT_TRUE(WaitFor([&] {
    return channel_->Logs("tina").find("runClientJs:jq:1.5.2pre:object:1:1") != std::string::npos;
  })) << channel_->Logs("tina");
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

// --- The load watchdog's give-up (its own ctest) -----------------------------------

// The command line of a running process, its arguments split.
std::vector<std::string> CommandLineOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

// The processes running this program file.
std::vector<pid_t> ProcessesOf(const fs::path& program) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(entry.path() / "exe", ec) == program) found.push_back(std::stoi(name));
  }
  return found;
}

TEST_F(NoticesE2E, APageThatNeverCompletesMakesTheClientGiveUp) {
  // A client of its own folder, with a pipe folder of its own, so that the
  // helper it starts stays up there to be seen.
  fs::path flat = *work_ / "giveup";
  fs::path pipes = *work_ / "giveup-pipe";
  fs::create_directories(flat);
  fs::create_directories(pipes);
  for (auto [from, to] : {std::pair{VELMORA_CLIENT, "Velmora"}, std::pair{VELMORA_HOST_EXTENSION, "libvelmora-host.so"},
                          std::pair{VELMORA_HELPER, "velmoraClient"}})
    fs::copy_file(from, flat / to, fs::copy_options::overwrite_existing);
  auto t0 = Clock::now();
  Client c("zoe", {PageFor("zoe", "never.html")}, {"VELMORA_PIPE_DIR=" + pipes.string()}, *work_,
           (flat / "Velmora").string());
  // It closes by itself, a minute after the start.
  EXPECT_EQ(c.WaitExit(150s), 0) << c.Log();
  EXPECT_GE(Clock::now() - t0, 60s);
  // It started the helper from its folder with "|NAME| |0".
  std::vector<pid_t> helpers;
  EXPECT_TRUE(WaitFor([&] { return !(helpers = ProcessesOf(flat / "velmoraClient")).empty(); }, 10s));
  ASSERT_EQ(helpers.size(), 1u);
  EXPECT_EQ(CommandLineOf(helpers[0]), (std::vector<std::string>{(flat / "velmoraClient").string(), "|zoe| |0"}));
  // That helper is stopped through its own pipe.
  std::string saved = getenv("VELMORA_PIPE_DIR");
  setenv("VELMORA_PIPE_DIR", pipes.c_str(), 1);
  EXPECT_TRUE(WaitFor([] { return Ask("@").has_value(); }, 10s));
  setenv("VELMORA_PIPE_DIR", saved.c_str(), 1);
  EXPECT_TRUE(WaitFor([&] { return ProcessesOf(flat / "velmoraClient").empty(); }, 10s));
}

}  // namespace
