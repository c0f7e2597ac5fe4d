// wendex-host [--timeout SECONDS] URL
//
// A bare window with one web view and the host extension: pages loaded in
// it can create the control. Every console message of the page (any frame)
// is written to standard output as one line; message boxes of its controls
// go to standard error. Exits 0 when the page calls window.close() or the
// window is closed, 2 when the time-out (default 60 s) passes, 1 for a bad
// command line, 3 when the page cannot be loaded, its web process dies or
// no display can be opened.
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/PageWindow.h"
#include "platform/msgbox.h"

namespace {

enum ExitCode { kClosed = 0, kBadCommandLine = 1, kTimedOut = 2, kCannotLoad = 3 };

int g_exitCode = kClosed;

void Finish(int code) {
  g_exitCode = code;
  host::QuitLoop();
}

class Host : public host::PageWindowEvents {
 public:
  void OnConsoleMessage(const std::string& text) override {
    // One message, one line.
    std::string line = text;
    for (char& c : line)
      if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  }
  bool OnMessageBox(const std::string& caption, const std::string& text, unsigned style) override {
    msgbox::LogProvider().Show(caption, text, style);
    return true;
  }
  void OnLoadFailed(const std::string& address, const std::string& reason) override {
    std::fprintf(stderr, "wendex-host: cannot load %s: %s\n", address.c_str(), reason.c_str());
    Finish(kCannotLoad);
  }
  void OnWebProcessEnded(bool crashed) override {
    std::fprintf(stderr, "wendex-host: the web process ended (%s)\n", crashed ? "crashed" : "terminated");
    Finish(kCannotLoad);
  }
  void OnPageClose() override { Finish(kClosed); }
  void OnCloseRequest() override { Finish(kClosed); }
};

int Usage() {
  std::fprintf(stderr, "usage: wendex-host [--timeout SECONDS] URL\n");
  return kBadCommandLine;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned timeout = 60;
  const char* url = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      char* end = nullptr;
      unsigned long t = std::strtoul(argv[++i], &end, 10);
      if (!end || *end || t == 0 || t > 86400) return Usage();
      timeout = static_cast<unsigned>(t);
    } else if (!url && argv[i][0] != '-') {
      url = argv[i];
    } else {
      return Usage();
    }
  }
  if (!url) return Usage();
  if (!host::OpenDisplay(&argc, &argv)) {
    std::fprintf(stderr, "wendex-host: no display\n");
    return kCannotLoad;
  }

  Host events;
  host::PageWindowSettings settings;
  settings.title = "wendex-host";
  host::PageWindow window(settings, &events);
  g_timeout_add_seconds(timeout, +[](gpointer) -> gboolean {
    std::fprintf(stderr, "wendex-host: timed out\n");
    Finish(kTimedOut);
    return G_SOURCE_REMOVE;
  }, nullptr);

  window.Load(url);
  window.ShowWindow(host::PageWindow::Show::Normal);
  host::RunLoop();
  std::fflush(stdout);
  return g_exitCode;
}
