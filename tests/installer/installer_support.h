// What the installer's tests share: starting a program (as another user,
// in another folder) and waiting for it and for whatever it left running,
// and the control as the registry's look-ups find it.
//
// The installer does not wait for the registration tool it starts: the
// process that runs these helpers makes itself a subreaper (BecomeSubreaper),
// so the tool, left behind, becomes its child and is waited for too.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

namespace installer_test {

namespace fs = std::filesystem;

struct User {
  uid_t uid;
  gid_t gid;
};

// What one start of a program came to: its exit code, those of the
// processes it left behind, and what it wrote (standard output and error).
struct Outcome {
  int exitCode = -1;
  std::vector<int> leftBehind;
  std::string output;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool BecomeSubreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

inline int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Starts a program as `who` in `cwd` with its output into `outputFile`,
// waits for it, then for every process it left behind (`limit` at most: a
// window program leaves session daemons behind that run on).
inline Outcome Start(std::vector<std::string> argv, const fs::path& cwd, User who, const fs::path& outputFile,
                     std::chrono::seconds limit = std::chrono::seconds(60)) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const bool switchUser = who.uid != geteuid();
  // The child does only what is safe between fork and exec.
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(120);
    if (switchUser && (setgroups(0, nullptr) != 0 || setresgid(who.gid, who.gid, who.gid) != 0 ||
                       setresuid(who.uid, who.uid, who.uid) != 0))
      _exit(121);
    if (chdir(cwd.c_str()) != 0) _exit(122);
    execv(args[0], args.data());
    _exit(123);
  }
  Outcome run;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return run;
  run.exitCode = ExitCode(status);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    pid_t left = waitpid(-1, &status, WNOHANG);
    if (left > 0) {
      run.leftBehind.push_back(ExitCode(status));
    } else if (left < 0 || std::chrono::steady_clock::now() > deadline) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  run.output = ReadFile(outputFile);
  return run;
}

// Ends the processes left behind with this process and still running
// (their parent is now this process), and waits for them.
inline void EndLeftBehind() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid()) kill(std::stoi(name), SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(-1, nullptr, WNOHANG) >= 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The control's module as look-ups find it: its ProgID, its class id, the
// module's path; empty when it is not registered.
inline std::string RegisteredControl() {
  auto clsid = registry::GetValue("HKEY_CLASSES_ROOT\\WENDEX.WendexCtrl.1\\CLSID");
  if (!clsid) return "";
  return registry::GetValue("HKEY_CLASSES_ROOT\\CLSID\\" + *clsid + "\\InprocServer32").value_or("");
}

}  // namespace installer_test
