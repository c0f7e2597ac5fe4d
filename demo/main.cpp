// velmora-demo [--port PORT]
//
// The embedded demo service and three demo listing sites:
//   the service  http://127.0.0.1:PORT  (web application /app/, welcome page
//                /ocx/welcome.html, home page /index.html, error reports
//                /ocxErrorReport.html)
//   site A       http://127.0.0.2:PORT  (pages) and :PORT+1 (its interface)
//   site B       http://127.0.0.3:PORT
//   site C       http://127.0.0.4:PORT
// PORT is 8765 unless given; 0 takes a free port for each. Once all listen,
// one line per address goes to standard output ("service URL", "site-a URL",
// "site-a-api URL", "site-b URL", "site-c URL") and then "ready". Runs until
// SIGINT or SIGTERM; exit code 0, 1 for a bad command line, 2 when an
// address cannot be bound.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Demo.h"

namespace {

constexpr int kDefaultPort = 8765;

int Usage() {
  std::fprintf(stderr, "usage: velmora-demo [--port PORT]   (0: free ports)\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int port = kDefaultPort;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end = nullptr;
      long p = std::strtol(argv[++i], &end, 10);
      if (!end || *end || p < 0 || p > 65534) return Usage();
      port = static_cast<int>(p);
    } else {
      return Usage();
    }
  }

  // The signals that end the demo are taken by this thread alone.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  demo::Demo demo(port);
  std::string error;
  if (!demo.Start(&error)) {
    std::fprintf(stderr, "velmora-demo: %s\n", error.c_str());
    return 2;
  }
  std::printf("service %s\nsite-a %s\nsite-a-api %s\nsite-b %s\nsite-c %s\nready\n", demo.service.Origin().c_str(),
              demo.siteAWeb.Origin().c_str(), demo.siteAApi.Origin().c_str(), demo.siteB.Origin().c_str(),
              demo.siteC.Origin().c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  demo.Stop();
  return 0;
}
