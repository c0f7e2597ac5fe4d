// What the client's end-to-end tests share: the real Velmora in a desktop
// of its own (virtual screen, window manager, private session bus; see
// desktop-session), with the real helper, the real control and a real local
// server. The server serves the pages and is also how a test talks to them:
// a page fetches scripts from /cmd, evaluates them and posts results to
// /result; page functions that the client calls post what they received to
// /log. The notification area is a status-notifier watcher of the tests' own
// on the session bus.
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe.h"
#include "platform/process.h"
#include "tests/e2e/e2e_support.h"

namespace clienttest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 60s;  // only catches hangs

inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

inline std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The output of a short command.
inline std::string Output(const std::vector<std::string>& argv) { return Trim(e2e::RunProgram(argv).Text()); }

// --- The test's server: pages, and a channel to each page by its id ------

class PageChannel {
 public:
  void Queue(const std::string& id, const std::string& script) {
    std::lock_guard lock(mutex_);
    commands_[id].push_back(script);
    wake_.notify_all();
  }
  // A script for the page, waiting up to a second for one.
  std::optional<std::string> Next(const std::string& id) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, 1s, [&] { return !commands_[id].empty(); })) return std::nullopt;
    std::string s = commands_[id].front();
    commands_[id].pop_front();
    return s;
  }
  void Result(const std::string& id, const std::string& text) {
    std::lock_guard lock(mutex_);
    results_[id].push_back(text);
    wake_.notify_all();
  }
  std::optional<std::string> TakeResult(const std::string& id, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, limit, [&] { return !results_[id].empty(); })) return std::nullopt;
    std::string s = results_[id].front();
    results_[id].pop_front();
    return s;
  }
  void Log(const std::string& id, const std::string& text) {
    std::lock_guard lock(mutex_);
    logs_[id].push_back(text);
  }
  bool Logged(const std::string& id, const std::string& text) {
    std::lock_guard lock(mutex_);
    for (auto& l : logs_[id])
      if (l == text) return true;
    return false;
  }
  std::string Logs(const std::string& id) {
    std::lock_guard lock(mutex_);
    std::string all;
    for (auto& l : logs_[id]) all += l + "\n";
    return all;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::deque<std::string>> commands_;
  std::map<std::string, std::deque<std::string>> results_;
  std::map<std::string, std::vector<std::string>> logs_;
};

// --- A status-notifier watcher of the test's own ---------------------------

class Watcher {
 public:
  struct Item {
    std::string service;  // what the item registered
    pid_t pid = 0;        // the process behind it
  };

  Watcher() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, 10s, [&] { return ready_; });
  }
  ~Watcher() {
    if (loop_) g_main_loop_quit(loop_);
    thread_.join();
  }
  bool ready() const { return owned_; }

  // Leaves the bus name (the tray goes away) or takes it again.
  static bool SetPresent(bool present) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        present ? "RequestName" : "ReleaseName",
        present ? g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u)
                : g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    guint32 code = 0;
    if (r) g_variant_get(r, "(u)", &code);
    return code == 1;
  }

  // How often a process registered an item.
  int Count(pid_t pid) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto& item : items_) n += item.pid == pid;
    return n;
  }

  // The item a process registered.
  std::optional<Item> ItemOf(pid_t pid) {
    std::lock_guard lock(mutex_);
    for (auto& item : items_)
      if (item.pid == pid) return item;
    return std::nullopt;
  }

 private:
  static constexpr const char* kXml =
      "<node><interface name='org.kde.StatusNotifierWatcher'>"
      "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
      "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
      "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
      "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
      "<property name='ProtocolVersion' type='i' access='read'/>"
      "</interface></node>";

  static void OnCall(GDBusConnection* bus, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* w = static_cast<Watcher*>(self);
    if (g_str_equal(method, "RegisterStatusNotifierItem")) {
      const gchar* service = nullptr;
      g_variant_get(parameters, "(&s)", &service);
      guint32 pid = 0;
      GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                    g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
                                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (reply) {
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
      }
      std::lock_guard lock(w->mutex_);
      w->items_.push_back({service, static_cast<pid_t>(pid)});
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static GVariant* OnGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                         gpointer) {
    if (g_str_equal(name, "IsStatusNotifierHostRegistered")) return g_variant_new_boolean(TRUE);
    if (g_str_equal(name, "ProtocolVersion")) return g_variant_new_int32(0);
    return g_variant_new_strv(nullptr, 0);
  }

  void Run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable vtable = {&Watcher::OnCall, &Watcher::OnGet, nullptr, {}};
    if (bus && node) {
      g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr,
                                        nullptr);
      GVariant* r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "RequestName",
                                                g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u),
                                                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (r) {
        guint32 code = 0;
        g_variant_get(r, "(u)", &code);
        owned_ = code == 1;
        g_variant_unref(r);
      }
    }
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
      wake_.notify_all();
    }
    g_main_loop_run(loop_);
    if (node) g_dbus_node_info_unref(node);
    if (bus) g_object_unref(bus);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ready_ = false;
  bool owned_ = false;
  std::vector<Item> items_;
};

// A bus call on the test's session-bus connection; the reply or null.
inline GVariant* Call(const std::string& service, const char* path, const char* interface, const char* method,
               GVariant* args, GDBusConnection* bus = nullptr) {
  g_autoptr(GDBusConnection) shared = bus ? nullptr : g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  g_autoptr(GError) error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus ? bus : shared, service.c_str(), path, interface, method, args,
                                                nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, &error);
  if (!reply) ADD_FAILURE() << method << ": " << error->message;
  return reply;
}

// --- The client under test --------------------------------------------------

class Client {
 public:
  // Starts `program` (the built client unless given) with the arguments.
  Client(const std::string& id, const std::vector<std::string>& args, const std::vector<std::string>& env,
         const fs::path& logDir, const std::string& program = VELMORA_CLIENT)
      : id_(id), log_(logDir / (id + ".log")) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, env, log_);
  }
  ~Client() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  const std::string& id() const { return id_; }

  // Starts a program with extra environment settings, its output in `log`.
  static pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& log) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (auto& x : env)
        if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
      if (!replaced) environment.push_back(entry);
    }
    for (auto& x : env)
      if (x.back() != '=') environment.push_back(x);  // "NAME=" removes NAME
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  bool Alive() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return false;
    }
    return true;
  }
  // Its exit code once it ended within the time.
  std::optional<int> WaitExit(std::chrono::milliseconds limit = kPatience) {
    WaitFor([&] { return !Alive(); }, limit);
    if (pid_ > 0) return std::nullopt;
    return exitCode_;
  }
  std::string Log() const { return e2e::ReadFile(log_); }

  // The X id of a window of this client that the window manager shows
  // with this title; empty when there is none.
  std::string ShownWindow(const std::string& title) const {
    std::istringstream rows(Output({"/usr/bin/wmctrl", "-lp"}));
    for (std::string row; std::getline(rows, row);) {
      std::istringstream fields(row);
      std::string id, desktop, pid, host, name;
      fields >> id >> desktop >> pid >> host;
      std::getline(fields >> std::ws, name);
      if (pid == std::to_string(pid_) && name == title) return id;
    }
    return {};
  }
  // How many windows of this client besides the main one are mapped (a
  // tray icon embedded in a tray, a menu).
  int OtherWindowsShown() {
    std::string main = Window();
    int n = 0;
    std::istringstream ids(Output({"/usr/bin/xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid_)}));
    for (std::string id; std::getline(ids, id);)
      if (!id.empty() && !main.empty() && std::stoul(id) != std::stoul(main, nullptr, 16)) ++n;
    return n;
  }
  // The main window, as first seen shown.
  std::string Window() {
    if (window_.empty()) window_ = ShownWindow("Velmora");
    return window_;
  }

 private:
  std::string id_;
  fs::path log_;
  std::string window_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

class ClientE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = new fs::path(fs::temp_directory_path() / ("client-e2e-" + std::to_string(getpid())));
    shots_ = new fs::path(VELMORA_SCREENSHOTS);
    fs::create_directories(*work_);
    fs::create_directories(*shots_);
    // The control, registered the way the installer does it, in a registry
    // of the test's own; message boxes go to a log unless a test wants them shown.
    ASSERT_TRUE(e2e::PrepareControl("client-e2e", work_));
    setenv("VELMORA_PIPE_DIR", (*work_ / "pipe").c_str(), 1);
    channel_ = new PageChannel;
    server_ = new httplib::Server;
    server_->set_mount_point("/", VELMORA_CLIENT_PAGES);
    server_->Get("/cmd", [](const httplib::Request& req, httplib::Response& res) {
      // A command is given once: never from a cache.
      res.set_header("Cache-Control", "no-store");
      if (auto s = channel_->Next(req.get_param_value("c"))) res.set_content(*s, "text/plain");
      else res.status = 204;
    });
    server_->Post("/result", [](const httplib::Request& req, httplib::Response&) {
      channel_->Result(req.get_param_value("c"), req.body);
    });
    server_->Post("/log", [](const httplib::Request& req, httplib::Response&) {
      channel_->Log(req.get_param_value("c"), req.body);
    });
    server_->Get("/Index.HTML", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html><body>home</body></html>", "text/html");
    });
    server_->Get("/answer", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("answer-body", "text/plain");
    });
    // A resource that holds its page's load end until the test opens the gate.
    server_->Get("/gate", [](const httplib::Request&, httplib::Response& res) {
      WaitFor([] { return gateOpen_.load(); });
      res.set_content("", "text/plain");
    });
    // A resource that holds its page's load until the test suite ends.
    server_->Get("/hold", [](const httplib::Request&, httplib::Response& res) {
      WaitFor([] { return released_.load(); }, 300s);
      res.set_content("", "text/plain");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    serverThread_ = new std::thread([] { server_->listen_after_bind(); });
    // The service is the test's server, so its home page closes a client.
    setenv("VELMORA_SERVICE", Base().c_str(), 1);
    watcher_ = new Watcher;
    ASSERT_TRUE(watcher_->ready()) << "the test's status-notifier watcher could not take its name";
    // The helper, as a session starts it.
    helper_ = Client::Spawn({VELMORA_HELPER}, {}, *work_ / "helper.log");
    ASSERT_TRUE(WaitFor([] { return Ask("getAllUser").has_value(); }));
  }
  static void TearDownTestSuite() {
    if (helper_ > 0) {
      Ask("@");
      process::WaitExit(helper_, 10000);
    }
    delete watcher_;
    released_ = true;
    server_->stop();
    serverThread_->join();
    delete serverThread_;
    delete server_;
    delete channel_;
    fs::remove_all(*work_);
    delete work_;
    delete shots_;
  }

  static std::string Base() { return "http://127.0.0.1:" + std::to_string(port_); }
  // The start address of the client page for a user.
  static std::string PageFor(const std::string& user, const std::string& page = "client.html") {
    return Base() + "/" + page + "?c=" + user + "&user_name=" + user + "&user_psw=secret";
  }
  static std::optional<std::string> Ask(const std::string& request) {
    namedpipe::Exchange ex = namedpipe::Transact("testPipe", request, 4096);
    if (ex.status != namedpipe::ClientStatus::Ok) return std::nullopt;
    return ex.reply;
  }

  std::unique_ptr<Client> Start(const std::string& id, const std::vector<std::string>& args,
                                const std::vector<std::string>& env = {}) {
    auto c = std::make_unique<Client>(id, args, env, *work_);
    EXPECT_GT(c->pid(), 0);
    return c;
  }
  // A client on the client page, ready for scripts.
  std::unique_ptr<Client> StartOnPage(const std::string& user, const std::vector<std::string>& before = {},
                                      const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = before;
    args.push_back(PageFor(user));
    auto c = Start(user, args, env);
    EXPECT_TRUE(WaitFor([&] { return channel_->Logged(user, "ready"); })) << c->Log();
    EXPECT_TRUE(WaitFor([&] { return !c->Window().empty(); }));
    return c;
  }

  // Hands a script to a client's page without waiting for its result (for
  // scripts after which the client may be gone).
  void Send(Client& c, const std::string& script) { channel_->Queue(c.id(), script); }
  // Evaluates a script in a client's page; its result as text.
  std::string Eval(Client& c, const std::string& script) {
    channel_->Queue(c.id(), script);
    auto r = channel_->TakeResult(c.id(), kPatience);
    EXPECT_TRUE(r.has_value()) << "no answer to " << script;
    return r.value_or("<none>");
  }
  // Waits until the page's getWindowStatus gives `status`.
  bool StatusBecomes(Client& c, int status) {
    return WaitFor([&] { return Eval(c, "external.getWindowStatus()") == std::to_string(status); });
  }
  bool Logged(Client& c, const std::string& text) {
    return WaitFor([&] { return channel_->Logged(c.id(), text); });
  }
  // The whole screen once the window shows maximised and had a moment to
  // paint (a window's own image misses what the window manager draws).
  void Screenshot(const std::string& window, const std::string& name) {
    EXPECT_TRUE(WaitFor([&] { return Maximized(window); })) << name;
    std::this_thread::sleep_for(500ms);
    std::string file = (*shots_ / (name + ".png")).string();
    e2e::RunProgram({"/usr/bin/import", "-window", "root", "-depth", "8", file});
    EXPECT_TRUE(fs::exists(file)) << file;
  }
  // The colour of one pixel of a screenshot, as "RRGGBB".
  static std::string PixelOf(const std::string& file, int x, int y) {
    std::string row = Output({"/usr/bin/convert", file, "-crop", "1x1+" + std::to_string(x) + "+" + std::to_string(y),
                              "-depth", "8", "txt:-"});
    std::size_t hash = row.rfind('#');  // the first line is a comment
    return hash == std::string::npos ? row : row.substr(hash + 1, 6);
  }
  // A screenshot of the whole screen now, kept as NAME.png.
  std::string ShootScreen(const std::string& name) {
    std::string file = (*shots_ / (name + ".png")).string();
    e2e::RunProgram({"/usr/bin/import", "-window", "root", "-depth", "8", file});
    return file;
  }
  // A window's place and size as the window system reports them.
  static std::optional<std::array<int, 4>> Geometry(const std::string& window) {
    std::istringstream lines(Output({"/usr/bin/xwininfo", "-id", window}));
    std::array<int, 4> g{-1, -1, -1, -1};
    const char* keys[] = {"Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"};
    for (std::string line; std::getline(lines, line);)
      for (int i = 0; i < 4; ++i)
        if (auto at = line.find(keys[i]); at != std::string::npos) g[i] = std::stoi(line.substr(at + strlen(keys[i])));
    if (g[2] < 0) return std::nullopt;
    return g;
  }
  static std::string WindowState(const std::string& window) {
    return Output({"/usr/bin/xprop", "-id", window, "_NET_WM_STATE"});
  }
  // Whether the window manager shows the window maximised.
  static bool Maximized(const std::string& window) {
    std::string state = Output({"/usr/bin/xprop", "-id", window, "_NET_WM_STATE"});
    return state.find("_NET_WM_STATE_MAXIMIZED_VERT") != std::string::npos &&
           state.find("_NET_WM_STATE_MAXIMIZED_HORZ") != std::string::npos;
  }
  // The tray's menu item with this label: calls Event(id, "clicked").
  static void ClickTrayMenu(const Watcher::Item& item, const std::string& label) {
    g_autoptr(GVariant) layout = Call(item.service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                      g_variant_new("(iias)", 0, -1, nullptr));
    ASSERT_TRUE(layout);
    g_autoptr(GVariant) root = g_variant_get_child_value(layout, 1);
    g_autoptr(GVariant) children = g_variant_get_child_value(root, 2);
    int found = -1;
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
      g_autoptr(GVariant) boxed = g_variant_get_child_value(children, i);
      g_autoptr(GVariant) child = g_variant_get_variant(boxed);
      gint32 id = 0;
      g_autoptr(GVariant) props = nullptr;
      g_autoptr(GVariant) grand = nullptr;
      g_variant_get(child, "(i@a{sv}@av)", &id, &props, &grand);
      const gchar* text = nullptr;
      if (g_variant_lookup(props, "label", "&s", &text) && label == text) found = id;
    }
    ASSERT_GE(found, 0) << "no menu item " << label;
    g_autoptr(GVariant) r = Call(item.service, "/MenuBar", "com.canonical.dbusmenu", "Event",
                                 g_variant_new("(isvu)", found, "clicked", g_variant_new_int32(0), 0u));
  }
  static Watcher::Item TrayOf(const Client& c) {
    std::optional<Watcher::Item> item;
    EXPECT_TRUE(WaitFor([&] { return (item = watcher_->ItemOf(c.pid())).has_value(); }));
    return item.value_or(Watcher::Item{});
  }

  inline static fs::path* work_;
  inline static fs::path* shots_;
  inline static PageChannel* channel_;
  inline static httplib::Server* server_;
  inline static std::thread* serverThread_;
  inline static int port_;
  inline static Watcher* watcher_;
  inline static pid_t helper_;
  inline static std::atomic<bool> gateOpen_{false};
  inline static std::atomic<bool> released_{false};
};


}  // namespace clienttest
