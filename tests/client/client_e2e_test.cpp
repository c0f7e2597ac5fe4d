// End to end: the real Velmora, its helper, its tray and its page bridge
// (the desktop and the channel to the pages: client_support.h).
#include "tests/client/client_support.h"

namespace {

using namespace clienttest;
using namespace std::chrono_literals;

// --- Start-up and sign-off ----------------------------------------------------

TEST_F(ClientE2E, TwoClientsRegisterTheirOwnProcessAndSignOff) {
  auto alice = StartOnPage("alice");
  auto bob = StartOnPage("bob");
  Screenshot(alice->Window(), "client-alice");
  // A user named in a "$" request is listed first; the next request finds
  // the live client that registered under that name.
  for (auto* c : {alice.get(), bob.get()}) {
    Ask(c->id() + "$");
    EXPECT_EQ(Ask(c->id() + "$"), std::to_string(c->pid())) << c->id();
  }
  // An ordinary start refreshes the automation class's activation file.
  std::string service = std::string(getenv("XDG_DATA_HOME")) + "/dbus-1/services/Velmora.Application.service";
  EXPECT_NE(e2e::ReadFile(service).find("Exec='" VELMORA_CLIENT "' -Embedding"), std::string::npos);
  // appExit without an attached caller ends the client, which signs off:
  // its name and registration are gone, so the next "$" lists it anew.
  for (auto* c : {alice.get(), bob.get()}) {
    Send(*c, "external.appExit()");
    EXPECT_EQ(c->WaitExit(), 0) << c->Log();
    EXPECT_EQ(Ask(c->id() + "$"), "0") << c->id();
    Ask(c->id() + "*");
  }
}

TEST_F(ClientE2E, StartsWithoutAddressOrWithoutDisplay) {
  // No "http://": the helper is started from the client's folder and the
  // client closes by itself. The test's helper steps aside for it.
  ASSERT_EQ(Ask("@"), "@");
  ASSERT_TRUE(process::WaitExit(helper_, 10000).has_value());
  helper_ = -1;
  auto bare = Start("bare", {"-foo"});
  EXPECT_EQ(bare->WaitExit(), 0) << bare->Log();
  EXPECT_TRUE(WaitFor([] { return Ask("getAllUser").has_value(); })) << "no helper was started";
  // A display that cannot be opened: a clear line and a non-zero exit.
  auto blind = Start("blind", {PageFor("blind")}, {"DISPLAY=:4242"});
  EXPECT_EQ(blind->WaitExit(), 1);
  EXPECT_NE(blind->Log().find("cannot open the display"), std::string::npos) << blind->Log();
}

TEST_F(ClientE2E, AnInstalledClientFindsTheExtensionInItsOwnFolder) {
  // Installed, every program and module sits in one folder.
  fs::path flat = *work_ / "flat";
  fs::create_directories(flat);
  fs::copy_file(VELMORA_CLIENT, flat / "Velmora", fs::copy_options::overwrite_existing);
  fs::copy_file(VELMORA_HOST_EXTENSION, flat / "libvelmora-host.so", fs::copy_options::overwrite_existing);
  Client c("nora", {PageFor("nora")}, {}, *work_, (flat / "Velmora").string());
  ASSERT_TRUE(Logged(c, "ready")) << c.Log();
  EXPECT_EQ(Eval(c, "typeof external.getWindowStatus"), "function");
  Send(c, "external.appExit()");
  EXPECT_EQ(c.WaitExit(), 0);
}

TEST_F(ClientE2E, RegisterAndUnregisterShowNoWindow) {
  std::string service = std::string(getenv("XDG_DATA_HOME")) + "/dbus-1/services/Velmora.Application.service";
  // Without a display, so that a window could not even be made.
  struct Case {
    const char* sw;
    bool present;
  } cases[] = {{"-Unregserver", false}, {"/RegServer", true}, {"-unregister", false}, {"/register", true}};
  for (const Case& c : cases) {
    auto run = Start("reg", {c.sw}, {"DISPLAY="});
    EXPECT_EQ(run->WaitExit(), 0) << c.sw << ": " << run->Log();
    EXPECT_EQ(fs::exists(service), c.present) << c.sw;
  }
  EXPECT_NE(e2e::ReadFile(service).find("Name=Velmora.Application\n"), std::string::npos);
}

// --- The window's states and the close rules ------------------------------------

TEST_F(ClientE2E, WindowStatusKeysCloseBoxAndTray) {
  auto c = StartOnPage("carol");
  std::string window = c->Window();
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(WaitFor([&] { return Maximized(window); }));
  EXPECT_EQ(Output({"/usr/bin/xdotool", "getwindowname", window}), "Velmora");

  // Enter and Escape reach the page and never close the window.
  Output({"/usr/bin/xdotool", "windowactivate", "--sync", window});
  Eval(*c, "document.getElementById('field').focus(), 'focused'");
  for (const char* key : {"Return", "Escape"}) {
    Output({"/usr/bin/xdotool", "key", key});
    EXPECT_TRUE(Logged(*c, std::string("key:") + (std::string(key) == "Return" ? "Enter" : "Escape"))) << key;
  }
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(c->Alive());

  // Minimised: 0. The tray's activation shows it maximised: 1.
  Watcher::Item tray = TrayOf(*c);
  g_autoptr(GVariant) tip = Call(tray.service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                                 g_variant_new("(ss)", "org.kde.StatusNotifierItem", "ToolTip"));
  ASSERT_TRUE(tip);
  g_autoptr(GVariant) tipValue = g_variant_get_child_value(tip, 0);
  g_autoptr(GVariant) tipTuple = g_variant_get_variant(tipValue);
  const gchar* tipTitle = nullptr;
  g_variant_get(tipTuple, "(&s@a(iiay)&s&s)", nullptr, nullptr, &tipTitle, nullptr);
  EXPECT_STREQ(tipTitle, "Velmora");
  auto activate = [&] {
    g_autoptr(GVariant) r = Call(tray.service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                                 g_variant_new("(ii)", 0, 0));
  };
  Output({"/usr/bin/xdotool", "windowminimize", "--sync", window});
  EXPECT_TRUE(StatusBecomes(*c, 0));
  activate();
  EXPECT_TRUE(StatusBecomes(*c, 1));

  // The close box and Alt+F4 only hide the window; the tray brings it back.
  Output({"/usr/bin/wmctrl", "-i", "-c", window});
  EXPECT_TRUE(StatusBecomes(*c, 0));
  EXPECT_TRUE(c->Alive());
  activate();
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(WaitFor([&] { return Maximized(window); }));
  Output({"/usr/bin/xdotool", "windowactivate", "--sync", window});
  Output({"/usr/bin/xdotool", "key", "alt+F4"});
  EXPECT_TRUE(StatusBecomes(*c, 0));
  EXPECT_TRUE(c->Alive());
  activate();
  EXPECT_TRUE(StatusBecomes(*c, 1));

  // "ButtonCancel" minimises; "ButtonOK" does nothing.
  Eval(*c, "document.getElementById('ButtonOK').click(), 'ok'");
  EXPECT_TRUE(StatusBecomes(*c, 1));
  Eval(*c, "document.getElementById('ButtonCancel').click(), 'cancel'");
  EXPECT_TRUE(StatusBecomes(*c, 0));
  EXPECT_TRUE(c->Alive());
  activate();
  EXPECT_TRUE(StatusBecomes(*c, 1));
  Screenshot(window, "client-carol-shown-again");

  // The tray menu's one item ends the client.
  ClickTrayMenu(tray, "关闭");
  EXPECT_EQ(c->WaitExit(), 0) << c->Log();
}

TEST_F(ClientE2E, WithoutATrayTheCloseBoxMinimises) {
  auto c = StartOnPage("kate");
  std::string window = c->Window();
  // No tray at all (no watcher, and no legacy tray on this screen): the
  // window must stay reachable, so closing minimises it.
  Watcher::Item tray = TrayOf(*c);
  ASSERT_TRUE(Watcher::SetPresent(false));
  // Until the client has seen the tray go, closing still hides the window:
  // then the item (still on the bus) shows it again and the test retries.
  EXPECT_TRUE(WaitFor([&] {
    Output({"/usr/bin/wmctrl", "-i", "-c", window});
    EXPECT_TRUE(StatusBecomes(*c, 0));
    if (!c->ShownWindow("Velmora").empty()) return true;
    g_autoptr(GVariant) r = Call(tray.service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                                 g_variant_new("(ii)", 0, 0));
    EXPECT_TRUE(StatusBecomes(*c, 1));
    return false;
  }));
  EXPECT_NE(Output({"/usr/bin/xprop", "-id", window, "_NET_WM_STATE"}).find("_NET_WM_STATE_HIDDEN"),
            std::string::npos);
  // A tray again: the item registers anew and closing hides the window.
  ASSERT_TRUE(Watcher::SetPresent(true));
  Output({"/usr/bin/xdotool", "windowactivate", "--sync", window});
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(WaitFor([&] { return watcher_->Count(c->pid()) == 2; }));
  // Until the client has heard back from the watcher, closing still
  // minimises: then the window is restored and the test retries.
  EXPECT_TRUE(WaitFor([&] {
    Output({"/usr/bin/wmctrl", "-i", "-c", window});
    EXPECT_TRUE(StatusBecomes(*c, 0));
    if (WaitFor([&] { return c->ShownWindow("Velmora").empty(); }, 1s)) return true;
    Output({"/usr/bin/xdotool", "windowactivate", "--sync", window});
    EXPECT_TRUE(StatusBecomes(*c, 1));
    return false;
  }));
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(ClientE2E, TheLegacyTrayStandsInWithoutAWatcher) {
  // No status-notifier watcher, but a tray of the older kind on the screen.
  ASSERT_TRUE(Watcher::SetPresent(false));
  struct Restore {
    pid_t tray = -1;
    ~Restore() {
      if (tray > 0) {
        kill(tray, SIGTERM);
        waitpid(tray, nullptr, 0);
      }
      Watcher::SetPresent(true);
    }
  } restore;
  restore.tray = Client::Spawn({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                                "--width", "120", "--height", "32"},
                               {}, *work_ / "trayer.log");
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_TRUE(WaitFor([&] {
    std::istringstream rows(Output({"/usr/bin/wmctrl", "-lG"}));
    for (std::string row; std::getline(rows, row);) {
      std::istringstream f(row);
      std::string id, desktop, host, title;
      f >> id >> desktop >> x >> y >> w >> h >> host >> title;
      if (title == "panel") return true;
    }
    return false;
  }));
  auto c = StartOnPage("liam");
  std::string window = c->Window();
  ASSERT_TRUE(WaitFor([&] { return c->OtherWindowsShown() > 0; })) << "the icon never reached the tray";
  // The icon sits in that tray, so closing hides the window.
  Output({"/usr/bin/wmctrl", "-i", "-c", window});
  EXPECT_TRUE(StatusBecomes(*c, 0));
  EXPECT_TRUE(WaitFor([&] { return c->ShownWindow("Velmora").empty(); }));
  // A click on the icon (the only one, at the tray's right end) shows it maximised.
  std::string iconX = std::to_string(x + w - h / 2), iconY = std::to_string(y + h / 2);
  Output({"/usr/bin/xdotool", "mousemove", "--sync", iconX, iconY, "click", "1"});
  EXPECT_TRUE(StatusBecomes(*c, 1));
  Screenshot(window, "client-legacy-tray");
  // Its menu's one item ends the client (the pointer is still on the icon);
  // the menu is up once one more window of the client is shown.
  int before = c->OtherWindowsShown();
  Output({"/usr/bin/xdotool", "click", "3"});
  EXPECT_TRUE(WaitFor([&] { return c->OtherWindowsShown() > before; }));
  Output({"/usr/bin/xdotool", "key", "Down", "Return"});
  EXPECT_EQ(c->WaitExit(), 0) << c->Log();
}

TEST_F(ClientE2E, AnAttachedCallerKeepsTheClientWhateverCloses) {
  auto c = StartOnPage("dave");
  Watcher::Item tray = TrayOf(*c);
  // A caller of its own connection attaches to the client's object.
  g_autofree gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  GDBusConnection* caller = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  ASSERT_TRUE(caller);
  g_autoptr(GVariant) attached =
      Call("Velmora.Application", "/Velmora/Application", "Velmora.Application", "Attach", nullptr, caller);
  ASSERT_TRUE(attached);

  // A second client neither fails nor takes the caller over: it closes.
  auto other = StartOnPage("dave2");
  Send(*other, "external.appExit()");
  EXPECT_EQ(other->WaitExit(), 0) << other->Log();

  // appExit and the tray's "关闭" only hide the first client's window now.
  Eval(*c, "external.appExit(), 'exit'");
  EXPECT_TRUE(StatusBecomes(*c, 0));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(c->Alive());
  g_autoptr(GVariant) shown = Call(tray.service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                                   g_variant_new("(ii)", 0, 0));
  EXPECT_TRUE(StatusBecomes(*c, 1));
  ClickTrayMenu(tray, "关闭");
  EXPECT_TRUE(StatusBecomes(*c, 0));
  EXPECT_TRUE(c->Alive());

  // Once the caller leaves the bus, appExit ends the client.
  g_dbus_connection_close_sync(caller, nullptr, nullptr);
  g_object_unref(caller);
  // (Asked again until the client has seen the caller go.)
  EXPECT_TRUE(WaitFor([&] {
    Send(*c, "external.appExit()");
    return c->WaitExit(2s).has_value();
  }));
  EXPECT_EQ(c->WaitExit(), 0) << c->Log();
}

// --- The page bridge --------------------------------------------------------------

TEST_F(ClientE2E, ExternalMethodsAnswerAtOnceInEveryFrame) {
  auto c = StartOnPage("erin", {"--autoLogin"});
  // Names in any case; the getters answer synchronously; a frame has its own.
  EXPECT_EQ(Eval(*c, "[typeof external.GETWINDOWSTATUS, external.isautologin(), '[' + external.getExcuteStr() + ']',"
                     " typeof external.pMessage, typeof external.clearapp, typeof external.forAutoLogin,"
                     " typeof external.appExit].join(' ')"),
            "function 1 [] function function function function");
  Eval(*c, "window.f = document.createElement('iframe'); f.src = '/listing.html'; document.body.appendChild(f); 'added'");
  EXPECT_TRUE(WaitFor([&] {
    return Eval(*c, "try { String(f.contentWindow.external.isAutoLogin()) } catch (e) { 'none' }") == "1";
  }));
  // Actions with nothing to show yet must leave the client running.
  Eval(*c, "external.ClearApp(), external.pMessage('<b>notice</b>'), external.forAutoLogin(), 'done'");
  EXPECT_TRUE(StatusBecomes(*c, 1));
  EXPECT_TRUE(c->Alive());
}

TEST_F(ClientE2E, HandOverAddressReachesThePage) {
  // The helper holds an address for frank; grace has none.
  ASSERT_EQ(Ask("frank+seturl:http://x/y"), "1");
  struct Case {
    const char* user;
    const char* logged;
  } cases[] = {{"frank", "transfer:http://x/y"}, {"grace", "transfer:"}};
  for (const Case& k : cases) {
    auto c = StartOnPage(k.user, {"-trans"});
    EXPECT_TRUE(Logged(*c, k.logged)) << k.user << ": " << channel_->Logs(k.user);
    // Fetched once: the stored address is gone.
    EXPECT_EQ(Ask(std::string(k.user) + "+geturl"), "");
    Send(*c, "external.appExit()");
    EXPECT_EQ(c->WaitExit(), 0);
  }
}

TEST_F(ClientE2E, AGetterCalledByThePageSeesWhatTheWindowJustChanged) {
  // The hand-over comes at the load end, which the test holds back until
  // the window is hidden: handing the address over shows the window, and
  // the page function that receives it must already read status 1.
  ASSERT_EQ(Ask("mia+seturl:http://x/z"), "1");
  gateOpen_ = false;
  auto c = Start("mia", {"-trans", PageFor("mia") + "&gate=1"});
  ASSERT_TRUE(Logged(*c, "ready"));
  TrayOf(*c);
  std::string window;
  ASSERT_TRUE(WaitFor([&] { return !(window = c->Window()).empty(); }));
  EXPECT_TRUE(WaitFor([&] {
    Output({"/usr/bin/wmctrl", "-i", "-c", window});
    return StatusBecomes(*c, 0) && c->ShownWindow("Velmora").empty();
  }));
  gateOpen_ = true;
  EXPECT_TRUE(Logged(*c, "transfer:http://x/z")) << channel_->Logs("mia");
  EXPECT_TRUE(Logged(*c, "status at transfer:1")) << channel_->Logs("mia");
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(ClientE2E, AHiddenWindowsPageRunsItsTimersAtFullSpeed) {
  auto c = StartOnPage("nina");
  TrayOf(*c);
  std::string window = c->Window();
  // Hidden to the tray (asked again until the client has seen the tray).
  EXPECT_TRUE(WaitFor([&] {
    Output({"/usr/bin/wmctrl", "-i", "-c", window});
    return StatusBecomes(*c, 0) && c->ShownWindow("Velmora").empty();
  }));
  EXPECT_EQ(Eval(*c, "document.hidden"), "true");
  // A chain of 100 timers: throttled as a hidden page, it took a second a timer.
  Send(*c, "(function f(n) { if (n < 100) setTimeout(function() { f(n + 1); }, 0); else log('timers done'); })(0)");
  EXPECT_TRUE(Logged(*c, "timers done")) << channel_->Logs("nina");
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

// --- The splash ----------------------------------------------------------------------

TEST_F(ClientE2E, TheSplashCoversTheWindowUntilThePageCompletes) {
  // The page's load is held back; the hand-over waits for its completion.
  ASSERT_EQ(Ask("olga+seturl:http://x/splash"), "1");
  gateOpen_ = false;
  auto c = Start("olga", {"-trans", PageFor("olga") + "&gate=1"});
  ASSERT_TRUE(Logged(*c, "ready"));
  std::string window;
  ASSERT_TRUE(WaitFor([&] { return !(window = c->Window()).empty(); }));
  // A point at the right of the screen, where the page itself is white.
  auto probe = [&](const std::string& name) {
    auto g = Geometry(window);
    if (!g) return std::string("none");
    return PixelOf(ShootScreen(name), (*g)[0] + (*g)[2] - 40, (*g)[1] + (*g)[3] / 2);
  };
  Screenshot(window, "client-splash");
  std::string before = probe("client-splash");
  EXPECT_NE(before, "FFFFFF") << "the page shows through the splash";
  EXPECT_FALSE(channel_->Logged("olga", "transfer:http://x/splash")) << "handed over before the page completed";
  // The page completes: the splash goes and the hand-over follows.
  gateOpen_ = true;
  EXPECT_TRUE(Logged(*c, "transfer:http://x/splash")) << channel_->Logs("olga");
  EXPECT_TRUE(WaitFor([&] { return probe("client-after-splash") == "FFFFFF"; }));
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

TEST_F(ClientE2E, AFrameLoadingTheHomePageClosesTheClient) {
  auto c = Start("henry", {PageFor("henry", "frame_home.html")});
  EXPECT_EQ(c->WaitExit(), 0) << c->Log();
}

// --- The control in the client's page ------------------------------------------------

TEST_F(ClientE2E, APageCreatesTheControlAndItsBoxesBecomeDialogs) {
  // Boxes shown, not logged, for this client.
  auto c = StartOnPage("iris", {}, {"VELMORA_MSGBOX_LOG="});
  EXPECT_EQ(Eval(*c, "c = new ActiveXObject('WENDEX.WendexCtrl.1'); typeof c.FGetM"), "function");
  Eval(*c,
       "c.FGetM(base + '/answer', '', '0', 1, 0, '1&5000&3&5000&5000',"
       " '{\"sComeBack\":{\"fn\":\"cbLog\",\"para\":[\"got\"]},\"sTimeOut\":{\"fn\":\"cbLog\",\"para\":[\"late\"]}}'), 'sent'");
  EXPECT_TRUE(WaitFor([&] { return channel_->Logs("iris").find("answer-body") != std::string::npos; }))
      << channel_->Logs("iris");
  Eval(*c, "c.FSetSrc(base + '/listing.html', '{\"callback_1\":[\"cbLog\",\"loaded\"],\"callback_2\":[\"cbLog\",\"late\"]}')");
  EXPECT_TRUE(Logged(*c, "cb:loaded")) << channel_->Logs("iris");

  // The control's version box: a dialog owned by the main window, while
  // the page goes on at once.
  EXPECT_EQ(Eval(*c, "c.firstM(), 'after the box'"), "after the box");
  std::string box;
  EXPECT_TRUE(WaitFor([&] { return !(box = c->ShownWindow("Wendex")).empty(); })) << Output({"/usr/bin/wmctrl", "-lp"});
  std::string owner = Output({"/usr/bin/xprop", "-id", box, "WM_TRANSIENT_FOR"});
  std::size_t hash = owner.find("# ");
  ASSERT_NE(hash, std::string::npos) << owner;
  EXPECT_EQ(std::stoul(owner.substr(hash + 2), nullptr, 16), std::stoul(c->Window(), nullptr, 16)) << owner;
  Screenshot(c->Window(), "client-message-box");
  Send(*c, "external.appExit()");
  EXPECT_EQ(c->WaitExit(), 0);
}

}  // namespace
