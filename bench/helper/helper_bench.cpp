// Request round trips per second through the session helper, against a
// minimal echo server on a Unix socket: both served one connection at a
// time, one request and one zero-terminated reply per connection, and both
// driven by the same client code. The ratio shows what the helper's own work
// (reading, applying the rules, replying) costs beyond the socket traffic.
//
// Usage: helper_bench [seconds-per-side]   (default 2)
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "helper/PipeWire.h"
#include "platform/pipe.h"
#include "platform/process.h"

namespace {

constexpr const char* kHelperPipe = pipewire::kPipeName;
constexpr const char* kEchoPipe = "echoPipe";
// A request that walks the hand-over list without changing any list.
constexpr const char* kRequest = "benchuser+geturl";

// The echo server: accept, one read, the same bytes and a zero back, close.
[[noreturn]] void RunEchoServer(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ::unlink(path.c_str());
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, SOMAXCONN) != 0)
    ::_exit(1);
  for (;;) {
    int c = ::accept(fd, nullptr, nullptr);
    if (c < 0) continue;
    char buf[1025];
    ssize_t n = ::read(c, buf, 1024);
    if (n > 0) {
      buf[n] = '\0';
      ::send(c, buf, static_cast<std::size_t>(n) + 1, MSG_NOSIGNAL);
    }
    ::close(c);
  }
}

bool WaitUntilAnswering(const char* name) {
  for (int i = 0; i < 500; ++i) {
    if (namedpipe::Transact(name, "getAllUser", 100).status == namedpipe::ClientStatus::Ok)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct Tally {
  long done = 0;
  long failed = 0;
  double seconds = 0;
  double Rate() const { return seconds > 0 ? static_cast<double>(done) / seconds : 0; }
};

// Round trips against one server for about the given time, added to the tally.
void Measure(const char* name, double seconds, Tally* tally) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (int i = 0; i < 100; ++i) {
      if (namedpipe::Transact(name, kRequest, 100).status == namedpipe::ClientStatus::Ok)
        ++tally->done;
      else
        ++tally->failed;
    }
  }
  tally->seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

// The machine is shared: the two servers take turns in short slices, so a
// burst of other load falls on both alike.
constexpr int kSlices = 8;

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (seconds <= 0) seconds = 2.0;
  std::signal(SIGPIPE, SIG_IGN);

  char tmpl[] = "/tmp/velmora-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  ::setenv("VELMORA_PIPE_DIR", dir.c_str(), 1);

  pid_t helper = process::Spawn(VELMORA_HELPER_PATH, {});
  pid_t echo = ::fork();
  if (echo == 0) RunEchoServer(namedpipe::PathOf(kEchoPipe));

  int rc = 0;
  if (helper <= 0 || echo < 0 || !WaitUntilAnswering(kHelperPipe) || !WaitUntilAnswering(kEchoPipe)) {
    std::fprintf(stderr, "helper_bench: the servers did not start\n");
    rc = 1;
  } else {
    Tally echoTally, helperTally;
    for (int i = 0; i < kSlices; ++i) {
      Measure(kEchoPipe, seconds / kSlices, &echoTally);
      Measure(kHelperPipe, seconds / kSlices, &helperTally);
    }
    double echoRate = echoTally.Rate(), helperRate = helperTally.Rate();
    std::printf("request: \"%s\", %.1f s per server in %d slices, one client\n", kRequest,
                seconds, kSlices);
    std::printf("echo server : %10.0f round trips/s (%ld failed)\n", echoRate, echoTally.failed);
    std::printf("helper      : %10.0f round trips/s (%ld failed)\n", helperRate, helperTally.failed);
    std::printf("helper/echo : %10.3f\n", echoRate > 0 ? helperRate / echoRate : 0.0);
  }

  namedpipe::Transact(kHelperPipe, "@", 100);
  if (helper > 0 && !process::WaitExit(helper, 5000)) {
    ::kill(helper, SIGKILL);
    process::WaitExit(helper, -1);
  }
  if (echo > 0) {
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}
