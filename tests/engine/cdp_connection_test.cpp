#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "engine/cdp/Connection.h"

namespace {

class CdpBrowserTest : public testing::Test {
 protected:
  loop::Loop& loop_ = loop::DefaultLoop();
};

TEST_F(CdpBrowserTest, CallsEventsAndADeadBrowser) {
  std::string error;
  auto conn = cdp::Connection::Launch(loop_, cdp::LaunchOptions::FromEnvironment(), &error);
  ASSERT_TRUE(conn) << error;
  std::string profile = conn->profileDir();
  EXPECT_TRUE(std::filesystem::is_directory(profile));

  std::vector<std::string> events;
  conn->SetEventSink([&](const cdp::Event& e) { events.push_back(e.method); });
  cdp::Reply r = conn->Call("Target.setDiscoverTargets", [] {
    Json::Value p;
    p["discover"] = true;
    return p;
  }());
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_TRUE(loop_.RunUntil([&] { return !events.empty(); }, 5000));
  EXPECT_EQ(events.front(), "Target.targetCreated");

  // Protocol errors come back as errors, not as hangs.
  r = conn->Call("No.suchMethod");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.error.empty());

  // A killed browser is noticed by itself and calls fail instead of
  // waiting; the bound only catches an end that is never noticed.
  ::kill(conn->pid(), SIGKILL);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(loop_.RunUntil([&] { return !events.empty() && events.back() == "Connection.closed"; }, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_FALSE(conn->alive());
  r = conn->Call("Browser.getVersion");
  EXPECT_FALSE(r.ok);
  conn.reset();
  EXPECT_FALSE(std::filesystem::exists(profile));

  // A new browser starts after the old one died.
  auto again = cdp::Connection::Launch(loop_, cdp::LaunchOptions::FromEnvironment(), &error);
  ASSERT_TRUE(again) << error;
  EXPECT_TRUE(again->Call("Browser.getVersion").ok);
}

}  // namespace
