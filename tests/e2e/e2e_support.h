// What the end-to-end tests share: running a program (wendex-host) and
// collecting the lines it prints.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode = -1;
  std::vector<std::string> lines;
  bool Has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::string Text() const {
    std::string t;
    for (auto& l : lines) t += l + "\n";
    return t;
  }
};

// Runs a program, collecting its standard output as lines.
inline Outcome RunProgram(std::vector<std::string> argv) {
  int out[2];
  if (pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  Outcome run;
  if (rc != 0) {
    close(out[0]);
    return run;
  }
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) run.lines.push_back(line);
  return run;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

#ifdef VELMORA_REGSVR32
// Makes a work folder for one test program (`name`-pid in the temporary
// folder) with a registry and a message-box log of its own, and registers
// the control there the way the installer does; false when registration
// fails.
inline bool PrepareControl(const std::string& name, fs::path* work) {
  *work = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()));
  fs::create_directories(*work);
  setenv("VELMORA_REGISTRY", (*work / "registry").c_str(), 1);
  setenv("VELMORA_MSGBOX_LOG", (*work / "boxes").c_str(), 1);
  setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
  return RunProgram({VELMORA_REGSVR32, "/s", VELMORA_CONTROL_MODULE}).exitCode == 0;
}
#endif

}  // namespace e2e
