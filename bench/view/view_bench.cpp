// The control's view measured on the real screen: wendex-host shows
// pages/host.html, whose <object> (800 x 600 at the window's corner) shows
// pages/site.html in the control's browser. This driver serves the pages,
// then measures
// - the view's idle CPU: every process under wendex-host (its web process,
//   the control's Chromium) over 10 s while the site shows and does nothing,
//   after the runs, and again with the element hidden (the same processes
//   and site, no view): the difference is the view's own share;
// - change to paint: the site changes its block's colour when told (it
//   notes the time of the change on its own clock), and the driver reads the
//   block's pixel from the X server until it shows the new colour;
// - click to handler: the driver clicks the site's button through XTest
//   (noting the time just before) and the site's click handler notes its
//   time.
// Both clocks are the machine's wall clock in milliseconds.
// Usage: view_bench WENDEX_HOST PAGES_DIR [RUNS]   (on a display)
// httplib before Xlib: Xlib's macros (Success, None...) would break it.
#include <httplib.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
// clang-format on
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What the site tells the driver.
struct Mailbox {
  std::mutex mutex;
  std::condition_variable wake;
  bool ready = false;
  std::deque<double> marks;
  int go = 0;  // changes asked for
  bool closing = false;
  bool hide = false;    // the host page is asked to hide the element
  bool hidden = false;  // and has

  std::optional<double> TakeMark(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    if (!wake.wait_for(lock, limit, [&] { return !marks.empty(); })) return std::nullopt;
    double t = marks.front();
    marks.pop_front();
    return t;
  }
};

// CPU seconds of a process and everything below it.
double TreeCpuSeconds(pid_t root) {
  std::map<pid_t, pid_t> parent;
  std::map<pid_t, double> cpu;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
    if (f.size() < 13) continue;
    const pid_t pid = std::stoi(name);
    parent[pid] = std::stoi(f[1]);
    cpu[pid] = (std::stod(f[11]) + std::stod(f[12])) / tick;  // utime + stime
  }
  double total = 0;
  for (const auto& [pid, seconds] : cpu)
    for (pid_t a = pid; a > 0; a = parent.count(a) ? parent[a] : 0)
      if (a == root) {
        total += seconds;
        break;
      }
  return total;
}

struct Stats {
  double median = 0, p95 = 0;
};
Stats Of(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, static_cast<std::size_t>(v.size() * 0.95))]};
}

// The visible window of a process.
Window WindowOf(Display* display, pid_t pid) {
  char command[96];
  std::snprintf(command, sizeof command, "xdotool search --onlyvisible --pid %d 2>/dev/null", pid);
  for (int i = 0; i < 300; ++i) {
    if (FILE* p = popen(command, "r")) {
      unsigned long id = 0;
      const bool found = std::fscanf(p, "%lu", &id) == 1;
      pclose(p);
      if (found) return static_cast<Window>(id);
    }
    std::this_thread::sleep_for(100ms);
  }
  (void)display;
  return 0;
}

bool IsRed(unsigned long pixel) { return ((pixel >> 16) & 0xFF) > 200 && (pixel & 0xFF) < 60; }
bool IsBlue(unsigned long pixel) { return ((pixel >> 16) & 0xFF) < 60 && (pixel & 0xFF) > 200; }

unsigned long PixelAt(Display* display, int x, int y) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return 0;
  unsigned long pixel = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return pixel;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: view_bench WENDEX_HOST PAGES_DIR [RUNS]\n");
    return 1;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 50;
  Mailbox box;
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(8); };
  server.set_mount_point("/", argv[2]);
  server.Post("/ready", [&](const httplib::Request&, httplib::Response&) {
    std::lock_guard lock(box.mutex);
    box.ready = true;
    box.wake.notify_all();
  });
  server.Post("/mark", [&](const httplib::Request& req, httplib::Response&) {
    std::lock_guard lock(box.mutex);
    box.marks.push_back(std::atof(req.body.c_str()));
    box.wake.notify_all();
  });
  // Held until the driver has asked for more changes than the site made (?n=).
  server.Get("/go", [&](const httplib::Request& req, httplib::Response& res) {
    const int made = std::atoi(req.get_param_value("n").c_str());
    std::unique_lock lock(box.mutex);
    box.wake.wait(lock, [&] { return box.go > made || box.closing; });
    res.set_content("go", "text/plain");
  });
  // Held until the driver asks the host page to hide the control's element.
  server.Get("/hide", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock lock(box.mutex);
    box.wake.wait(lock, [&] { return box.hide || box.closing; });
    res.set_content("hide", "text/plain");
  });
  server.Post("/hidden", [&](const httplib::Request&, httplib::Response&) {
    std::lock_guard lock(box.mutex);
    box.hidden = true;
    box.wake.notify_all();
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  setenv("VELMORA_SERVICE", base.c_str(), 1);

  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "view_bench: no display\n");
    return 1;
  }
  std::string url = base + "/host.html";
  char* args[] = {argv[1], const_cast<char*>("--timeout"), const_cast<char*>("600"), url.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t host = -1;
  posix_spawn(&host, argv[1], &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);

  int code = 0;
  auto finish = [&] {
    {
      std::lock_guard lock(box.mutex);
      box.closing = true;
      box.wake.notify_all();
    }
    kill(host, SIGTERM);
    waitpid(host, nullptr, 0);
    server.stop();
    serving.join();
    XCloseDisplay(display);
    return code;
  };
  {
    std::unique_lock lock(box.mutex);
    if (!box.wake.wait_for(lock, 60s, [&] { return box.ready; })) {
      std::fprintf(stderr, "view_bench: the site did not load\n");
      code = 1;
      lock.unlock();
      return finish();
    }
  }
  // The box's corner on the screen.
  const Window window = WindowOf(display, host);
  int originX = 0, originY = 0;
  Window child;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &originX, &originY, &child);
  const int blockX = originX + 200, blockY = originY + 150;    // the block's middle
  const int buttonX = originX + 600, buttonY = originY + 350;  // the button's middle
  for (int i = 0; i < 100 && !IsRed(PixelAt(display, blockX, blockY)); ++i) std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(1s);

  // Change to paint.
  std::vector<double> paint;
  bool red = true;
  for (int i = 0; i < runs; ++i) {
    {
      std::lock_guard lock(box.mutex);
      ++box.go;
      box.wake.notify_all();
    }
    red = !red;
    double seenAt = 0;
    const double limit = WallMs() + 5000;
    while (WallMs() < limit) {
      const unsigned long pixel = PixelAt(display, blockX, blockY);
      if (red ? IsRed(pixel) : IsBlue(pixel)) {
        seenAt = WallMs();
        break;
      }
      std::this_thread::sleep_for(500us);
    }
    const auto changedAt = box.TakeMark(5s);
    if (seenAt > 0 && changedAt) paint.push_back(seenAt - *changedAt);
    std::this_thread::sleep_for(100ms);
  }

  // Click to handler.
  std::vector<double> click;
  XTestFakeMotionEvent(display, -1, buttonX, buttonY, CurrentTime);
  XFlush(display);
  std::this_thread::sleep_for(200ms);
  for (int i = 0; i < runs; ++i) {
    const double clickedAt = WallMs();
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
    if (const auto handledAt = box.TakeMark(5s)) click.push_back(*handledAt - clickedAt);
    std::this_thread::sleep_for(100ms);
  }

  // Idle: the site shows and does nothing; then the same without the view.
  auto idlePercent = [&] {
    std::this_thread::sleep_for(2s);
    const double cpu0 = TreeCpuSeconds(host);
    std::this_thread::sleep_for(10s);
    return (TreeCpuSeconds(host) - cpu0) / 10.0 * 100.0;
  };
  const double idleCpuPercent = idlePercent();
  double idleNoViewPercent = -1;
  {
    std::unique_lock lock(box.mutex);
    box.hide = true;
    box.wake.notify_all();
    if (box.wake.wait_for(lock, 10s, [&] { return box.hidden; })) {
      lock.unlock();
      idleNoViewPercent = idlePercent();
    }
  }

  const Stats p = Of(paint), c = Of(click);
  std::printf("change_to_paint_median_ms %.1f\nchange_to_paint_p95_ms %.1f\nchange_to_paint_runs %zu\n", p.median, p.p95,
              paint.size());
  std::printf("click_to_handler_median_ms %.1f\nclick_to_handler_p95_ms %.1f\nclick_to_handler_runs %zu\n", c.median,
              c.p95, click.size());
  std::printf("idle_cpu_percent %.2f\n", idleCpuPercent);
  if (idleNoViewPercent >= 0) {
    std::printf("idle_cpu_no_view_percent %.2f\n", idleNoViewPercent);
    std::printf("idle_cpu_of_the_view_percent %.2f\n", idleCpuPercent - idleNoViewPercent);
  }
  return finish();
}
