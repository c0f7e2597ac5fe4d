// The platform's pipe layer: where pipes live, who may use them, and how a
// client tells "no server" from "busy server".
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/pipe.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempPipeDir.h"

namespace {

using PipeDir = support::TempPipeDir;

using EnvGuard = support::ScopedEnv;

TEST(PipeDirectory, ChosenFromTheEnvironment) {
  EnvGuard pipeDir("VELMORA_PIPE_DIR"), runtime("XDG_RUNTIME_DIR");
  std::string fallback = "/tmp/velmora-" + std::to_string(::getuid());
  struct Case {
    const char* pipeDir;
    const char* runtime;
    std::string expected;
  } cases[] = {
      {"/x/pipes", "/run/user/7", "/x/pipes"},
      {"", "/run/user/7", "/run/user/7/velmora"},
      {nullptr, "/run/user/7", "/run/user/7/velmora"},
      {nullptr, "", fallback},
      {nullptr, nullptr, fallback},
  };
  for (const auto& c : cases) {
    pipeDir.Set(c.pipeDir);
    runtime.Set(c.runtime);
    EXPECT_EQ(namedpipe::Directory(), c.expected);
    EXPECT_EQ(namedpipe::PathOf("testPipe"), c.expected + "/testPipe");
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(PipeDirectory, IsTheUsersOnly) {
  PipeDir base;
  std::string dir = base.path() + "/pipes";
  ::setenv("VELMORA_PIPE_DIR", dir.c_str(), 1);
  // Created with mode 0700; a socket only the user may open.
  namedpipe::Server server;
  ASSERT_EQ(server.Open("p"), namedpipe::Server::OpenResult::Listening);
  EXPECT_EQ(ModeOf(dir), 0700u);
  EXPECT_EQ(ModeOf(dir + "/p"), 0600u);
  server.Close();
  EXPECT_FALSE(std::filesystem::exists(dir + "/p"));
  // A folder open to others is closed up.
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  EXPECT_TRUE(namedpipe::EnsureDirectory());
  EXPECT_EQ(ModeOf(dir), 0700u);
  // A link or a file in its place is refused, and no server opens there.
  std::string link = base.path() + "/link";
  std::filesystem::create_directory_symlink(dir, link);
  std::string file = base.path() + "/file";
  { std::ofstream(file) << "x"; }
  for (const std::string& bad : {link, file}) {
    ::setenv("VELMORA_PIPE_DIR", bad.c_str(), 1);
    std::string error;
    EXPECT_FALSE(namedpipe::EnsureDirectory(&error)) << bad;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(server.Open("p"), namedpipe::Server::OpenResult::Failed);
  }
}

TEST(PipeClient, FailsAtOnceWhenNoServerRuns) {
  PipeDir dir;
  // No folder, no socket, a socket nobody listens on: all mean "no server".
  ::setenv("VELMORA_PIPE_DIR", (dir.path() + "/missing").c_str(), 1);
  EXPECT_EQ(namedpipe::Transact("p", "x", 100).status, namedpipe::ClientStatus::NoServer);
  ::setenv("VELMORA_PIPE_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(namedpipe::Transact("p", "x", 100).status, namedpipe::ClientStatus::NoServer);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = namedpipe::PathOf("p");
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  EXPECT_EQ(namedpipe::Transact("p", "x", 100).status, namedpipe::ClientStatus::NoServer);
}

// One server per name: the second is told the name is served; once the
// first closes, the name is free again.
TEST(PipeServer, OneServerPerName) {
  PipeDir dir;
  namedpipe::Server first, second;
  ASSERT_EQ(first.Open("p"), namedpipe::Server::OpenResult::Listening);
  // The second server's probe waits in the first one's queue.
  EXPECT_EQ(second.Open("p"), namedpipe::Server::OpenResult::AlreadyServed);
  EXPECT_FALSE(first.Accept().ReadRequest());  // the probe sent nothing
  first.Close();
  EXPECT_EQ(second.Open("p"), namedpipe::Server::OpenResult::Listening);
}

// The reply is read up to its zero byte and never beyond the limit.
TEST(PipeClient, ReadsReplyUpToZeroAndLimit) {
  PipeDir dir;
  namedpipe::Server server;
  ASSERT_EQ(server.Open("p"), namedpipe::Server::OpenResult::Listening);
  struct Case {
    std::string reply;
    std::size_t limit;
    std::string expected;
  } cases[] = {
      {"hello", 100, "hello"},
      {"", 100, ""},
      {std::string(150, 'a'), 100, std::string(100, 'a')},
  };
  std::thread serve([&] {
    for (const auto& c : cases) {
      namedpipe::Connection conn = server.Accept();
      auto request = conn.ReadRequest();
      EXPECT_EQ(request, "ask");
      conn.WriteReply(c.reply);
    }
  });
  for (const auto& c : cases) {
    namedpipe::Exchange ex = namedpipe::Transact("p", "ask", c.limit);
    EXPECT_EQ(ex.status, namedpipe::ClientStatus::Ok);
    EXPECT_EQ(ex.reply, c.expected);
  }
  serve.join();
}

}  // namespace
