// A temporary pipe folder with a real helper process serving it, and small
// programs to stand in for clients.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "helper/PipeWire.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "tests/support/TempPipeDir.h"

namespace helpertest {

inline constexpr const char* kPipe = pipewire::kPipeName;

// A fresh pipe folder for the test, named in VELMORA_PIPE_DIR.
using PipeDir = support::TempPipeDir;

// A child process that this test started; killed and reaped at the end.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { Kill(); }
  Child(Child&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
  Child& operator=(Child&& o) noexcept {
    Kill();
    pid_ = o.pid_;
    o.pid_ = -1;
    return *this;
  }
  pid_t pid() const { return pid_; }
  // Its exit code when it ends within the time.
  std::optional<int> Wait(int ms) {
    auto code = process::WaitExit(pid_, ms);
    if (code) pid_ = -1;
    return code;
  }
  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      process::WaitExit(pid_, -1);
      pid_ = -1;
    }
  }
  // Kills it but leaves it unreaped (a zombie until Kill or Wait).
  void KillOnly() const { ::kill(pid_, SIGKILL); }

 private:
  pid_t pid_ = -1;
};

inline Child StartHelper(const std::vector<std::string>& args = {}) {
  pid_t pid = process::Spawn(VELMORA_HELPER_PATH, args);
  EXPECT_GT(pid, 0);
  return Child(pid);
}

// One exchange with whatever serves the pipe; the whole reply.
inline namedpipe::Exchange Exchange(std::string_view request) {
  return namedpipe::Transact(kPipe, request, 1 << 22);
}

inline std::string Ask(std::string_view request) {
  namedpipe::Exchange ex = Exchange(request);
  EXPECT_EQ(ex.status, namedpipe::ClientStatus::Ok) << "request: " << request;
  return ex.reply;
}

// Waits until a helper answers (a read-only request), at most 10 s.
inline bool WaitAnswering() {
  for (int i = 0; i < 1000; ++i) {
    if (Exchange("getAllUser").status == namedpipe::ClientStatus::Ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A running program whose executable is named `name`: a copy of sleep(1).
inline Child StartNamed(const std::string& dir, const std::string& name) {
  std::string exe = dir + "/" + name;
  std::filesystem::copy_file("/bin/sleep", exe, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  Child c(process::Spawn(exe, {"60"}));
  EXPECT_GT(c.pid(), 0);
  // Wait until the new program runs under its own name.
  for (int i = 0; i < 500 && process::RunningName(c.pid()) != name; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(process::RunningName(c.pid()), name);
  return c;
}

// The id of a process that has ended.
inline pid_t EndedPid() {
  pid_t pid = process::Spawn("/bin/true", {});
  EXPECT_EQ(process::WaitExit(pid, 5000), 0);
  return pid;
}

// A pipe folder with a helper serving it; the helper is stopped at the end
// and must end with exit code 0.
class HelperTest : public testing::Test {
 protected:
  void SetUp() override {
    helper_ = StartHelper();
    ASSERT_TRUE(WaitAnswering());
  }
  void TearDown() override {
    if (helper_.pid() > 0) {
      EXPECT_EQ(Ask("@"), "@");
      EXPECT_EQ(helper_.Wait(10000), 0);
    }
  }
  PipeDir dir_;
  Child helper_;
};

}  // namespace helpertest
