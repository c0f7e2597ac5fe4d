// End to end: a page in wendex-host sends requests through the control to a
// real local server and reports what its callbacks receive.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <mutex>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

class RequestsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PrepareControl("requests-e2e", &work_));

    server_.set_mount_point("/", VELMORA_E2E_PAGES);
    auto dump = [](const httplib::Request& req, httplib::Response& res) {
      std::string out;
      for (const auto& [k, v] : req.headers)
        if (k.rfind("REMOTE_", 0) != 0 && k.rfind("LOCAL_", 0) != 0) out += k + ": " + v + "\n";
      res.set_content(out + "body: " + req.body, "text/plain");
    };
    server_.Get("/r/headers", dump);
    server_.Post("/r/headers", dump);
    server_.Get("/r/utf8", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("\xE6\x88\xBF", "text/plain");
    });
    server_.Get("/r/r302", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/r/target", 302); });
    server_.Get("/r/target", [](const httplib::Request&, httplib::Response& res) { res.set_content("arrived", "text/plain"); });
    server_.Get("/r/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(1s);
      res.set_content("late", "text/plain");
    });
    // Read as it arrives: the server would refuse a form larger than 8 KiB,
    // and the reports of deeply nested texts are.
    server_.Post("/ocxErrorReport.html",
                 [this](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& read) {
                   std::string body;
                   read([&](const char* data, std::size_t n) {
                     body.append(data, n);
                     return true;
                   });
                   std::lock_guard lock(mutex_);
                   reports_.push_back(body);
                   res.set_content("ok", "text/plain");
                 });
    ASSERT_TRUE(local_.Start());
    setenv("VELMORA_SERVICE", Url("").c_str(), 1);
  }
  void TearDown() override {
    local_.Stop();
    unsetenv("VELMORA_SERVICE");
    fs::remove_all(work_);
  }
  std::string Url(const std::string& path) const { return local_.Url(path); }

  fs::path work_;
  support::LocalServer local_;
  httplib::Server& server_ = local_.server;
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

TEST_F(RequestsE2E, CallbacksReceiveWhatTheServerAnswered) {
  Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "40", Url("/requests.html")});
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::string host = "127.0.0.1:" + std::to_string(local_.port());
  const std::string ok200 = R"(HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/plain\r\nKeep-Alive: timeout=5, max=5\r\n\r\n)";
  const std::string found302 = R"(HTTP/1.1 302 Found\r\nContent-Length: 0\r\nKeep-Alive: timeout=5, max=5\r\nLocation: /r/target\r\n\r\n)";
  const std::vector<std::string> expected = {
      "step utf-8 body",
      // UTF-8 converted to the code page, and back to the page's text.
      "ok [\"" + ok200 + "\",\"房\",\"7\"]",
      "step gbk bytes",
      // The same bytes passed through, read as GBK.
      "ok [\"" + ok200 + "\",\"鎴\xEF\xBF\xBD\",\"7\"]",
      "step headers for GetType 0",
      "ok [\"" + ok200 + "\",\"" + ok200 + "\",\"7\"]",
      "step 302 kept",
      "ok [\"" + found302 + "\",\"" + found302 + "\",\"7\"]",
      "step 302 followed",
      R"(ok ["HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Type: text/plain\r\nKeep-Alive: timeout=5, max=5\r\n\r\n","arrived","7"])",
      "step post lines",
      // Exactly one header line beyond what HTTP needs: the default content type.
      R"(ok ["HTTP/1.1 200 OK\r\nContent-Length: 101\r\nContent-Type: text/plain\r\nKeep-Alive: timeout=5, max=5\r\n\r\n","Content-Length: 7\nContent-Type: application/x-www-form-urlencoded\nHost: )" +
          host + R"(\nbody: a=1&b=2","7"])",
      "step post content type",
      R"(ok ["HTTP/1.1 200 OK\r\nContent-Length: 73\r\nContent-Type: text/plain\r\nKeep-Alive: timeout=5, max=5\r\n\r\n","Content-Length: 4\nContent-Type: text/xml\nHost: )" +
          host + R"(\nbody: <x/>","7"])",
      // Failures reach "sTimeOut" with its own texts only.
      "step get {}",
      "fail [\"7\"]",
      "step unreachable",
      "fail [\"7\"]",
      "step receive time-out",
      "fail [\"7\"]",
      "step MakeValue 1abc",
      "ok [\"" + ok200 + "\",\"鎴\xEF\xBF\xBD\",\"7\"]",
      "step bad header json",
      "jsonError []",
      "step bad callback json",
      "jsonError []",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
  // MakeValue 1 shows the completion code before the callback.
  EXPECT_EQ(ReadFile(work_ / "boxes"), "Wendex\t0\n");
  // One report per refused request, naming where the bad text was.
  std::lock_guard lock(mutex_);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[0].substr(reports_[0].rfind('&')), "&sErroPlace=headerJson");
  EXPECT_NE(reports_[0].find("&sPostPara=x%3D1&"), std::string::npos) << reports_[0];
  EXPECT_EQ(reports_[1].substr(reports_[1].rfind('&')), "&sErroPlace=callbacjson");
  EXPECT_NE(reports_[1].find("&sPostPara=&"), std::string::npos) << reports_[1];
}

// JSON texts nested 10,000 levels deep, in every JSON parameter: each is a
// malformed text (refused, reported and answered with "jsonError" where the
// method refuses; read as no arguments or no callback elsewhere), and no
// exception reaches the page.
TEST_F(RequestsE2E, DeeplyNestedJsonIsMalformedEverywhere) {
  Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "40", Url("/deep.html")});
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  std::vector<std::string> expected;
  for (const char* nesting : {"arrays", "objects"}) {
    const std::vector<std::string> lines = {
        std::string("nested ") + nesting,
        "jsonError []",
        "FPostM header -> undefined",
        "jsonError []",
        "FGetM appendMsg -> undefined",
        "f []",
        "FCallJSF1 paramValue -> 0",
        "f []",
        "FCallJSF1 inside paramValue -> 0",
        // The hidden page has no function f.
        "FCallJSF paramValue and appendMsg -> 26",
        "jsonError []",
        "FSubmitForm appendMsg -> 99",
        "FSetSrc appendMsg -> 99",
        "FClickInput appendMsg -> undefined",
    };
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  EXPECT_EQ(run.lines, expected) << run.Text();
  // One report for each refused request.
  std::lock_guard lock(mutex_);
  ASSERT_EQ(reports_.size(), 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(reports_[i].substr(reports_[i].rfind('&')), i % 2 ? "&sErroPlace=callbacjson" : "&sErroPlace=headerJson");
}

}  // namespace
