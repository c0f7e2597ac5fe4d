#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace process {

namespace {

// The state letter of /proc/PID/stat ("R", "S", "Z"...): it follows the
// name in parentheses, and the name itself may hold ")".
char StateOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return 0;
  return line[close + 2];
}

}  // namespace

std::optional<std::string> RunningName(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!in || !std::getline(in, name)) return std::nullopt;
  char state = StateOf(pid);
  if (state == 0 || state == 'Z' || state == 'X') return std::nullopt;
  return name;
}

std::string ExecutablePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

pid_t CurrentId() { return ::getpid(); }

std::string ProgramDirectory() {
  return std::filesystem::path(ExecutablePath()).parent_path().string();
}

pid_t Spawn(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

pid_t SpawnUnattended(const std::string& path, const std::vector<std::string>& args) {
  pid_t pid = Spawn(path, args);
  // A thread of its own waits for this one child only; it ends with the
  // child, or with the process.
  if (pid > 0) std::thread([pid] { while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {} }).detach();
  return pid;
}

std::optional<int> WaitExit(pid_t pid, int timeoutMs) {
  if (pid <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      continue;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace process
