// The request engine against a real local server: the workers' outcomes,
// the error report, and a control that goes away while a request runs.
#include <httplib.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "control/Callbacks.h"
#include "control/Requests.h"
#include "control/WendexApp.h"
#include "control/WendexCtrl.h"
#include "control/WendexIds.h"
#include "tests/support/LocalServer.h"

namespace {

using namespace std::chrono_literals;

class Server {
 public:
  Server() {
    s.Get("/headers", [](const httplib::Request& req, httplib::Response& res) { res.set_content(Dump(req), "text/plain"); });
    s.Post("/headers", [](const httplib::Request& req, httplib::Response& res) { res.set_content(Dump(req), "text/plain"); });
    s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) { res.set_content(req.body, "application/octet-stream"); });
    s.Get("/r302", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/target", 302); });
    s.Get("/target", [](const httplib::Request&, httplib::Response& res) { res.set_content("arrived", "text/plain"); });
    s.Get("/utf8", [](const httplib::Request&, httplib::Response& res) { res.set_content("\xE6\x88\xBF", "text/plain"); });
    s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(1500ms);
      res.set_content("late", "text/plain");
    });
    s.Post("/ocxErrorReport.html", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex);
      reports.push_back(req.body);
      res.set_content("ok", "text/plain");
    });
    local.Start();
    port = local.port();
  }
  std::string Url(const std::string& path) const { return local.Url(path); }
  static std::string Dump(const httplib::Request& req) {
    std::string out;
    for (const auto& [k, v] : req.headers)
      if (k.rfind("REMOTE_", 0) != 0 && k.rfind("LOCAL_", 0) != 0) out += k + ": " + v + "\n";
    return out;
  }
  std::mutex mutex;
  std::vector<std::string> reports;
  int port = 0;
  // Last, so that it stops before what its handlers use goes.
  support::LocalServer local;
  httplib::Server& s = local.server;
};

// Receives the workers' completion messages on the loop thread.
class Sink : public loop::MessageTarget {
 public:
  Sink() : MessageTarget(loop::DefaultLoop()) {}
  int code = -1;
  std::unique_ptr<CThreadValue> record;

 protected:
  loop::LRESULT WindowProc(loop::Message& m) override {
    code = static_cast<int>(m.wParam);
    record = loop::Adopt<CThreadValue>(m);
    return 0;
  }
};

struct Request {
  bool post;
  std::string path;  // appended to the server's address unless it holds "://" or starts with '!'
  std::string header;
  short getType = 1;
  short redirect = 0;
  std::string charset;
  std::string timeOut;
  std::string body;
};

std::unique_ptr<CThreadValue> RunRequest(const Server& server, const Request& r, int* code) {
  Sink sink;
  auto record = std::make_unique<CThreadValue>();
  record->pCtrl.hWnd = sink.hwnd();
  record->pPara->sUrl = r.path.rfind('!', 0) == 0 ? r.path.substr(1) : server.Url(r.path);
  record->pPara->sHeader = r.header;
  record->pPara->sPostPara = r.body;
  record->pPara->nGetType = r.getType;
  record->nRedirect = r.redirect;
  record->sCharset = r.charset;
  record->sHeaders = "MAKEVALUE";
  ParseTimeOut(*record, r.timeOut);
  StartRequestThread(r.post ? &PostThreadProc : &GetThreadProc, std::move(record));
  EXPECT_TRUE(loop::DefaultLoop().RunUntil([&] { return sink.record != nullptr; }, 10000));
  *code = sink.code;
  return std::move(sink.record);
}

TEST(RequestTextTest, TimeOutsAndNumbers) {
  struct Case {
    const char* text;
    std::array<std::int32_t, 5> expected;
  } cases[] = {
      {"1&20000&3&5000&60000", {1, 20000, 3, 5000, 60000}},
      {"5000", {10000, 10000, 10000, 10000, 10000}},
      {"1&2&3&4", {10000, 10000, 10000, 10000, 10000}},
      {"", {10000, 10000, 10000, 10000, 10000}},
      {"1&2&3&4&", {1, 2, 3, 4, 0}},
      {"&&&&", {0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    CThreadValue v;
    ParseTimeOut(v, c.text);
    EXPECT_EQ(v.nTimeOut, c.expected) << c.text;
  }
  struct N {
    const char* text;
    short value;
  } numbers[] = {{"1", 1}, {"1abc", 1}, {"abc", 0}, {"", 0}, {"  -5x", -5}, {"+7", 7}, {"70000", 4464}};
  for (const auto& n : numbers) EXPECT_EQ(TextToShort(n.text), n.value) << n.text;
}

TEST(RequestTextTest, CallbackLayouts) {
  Callback a = GetCallback1(R"({"callback_1":["done","a","b"],"callback_2":["late"]})");
  EXPECT_EQ(a.name, "done");
  EXPECT_EQ(a.args, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(GetCallback2(R"({"callback_1":["done"],"callback_2":["late"]})").name, "late");
  EXPECT_EQ(GetCallback1(R"({"callback_1":[]})").name, "");
  EXPECT_EQ(GetCallback1(R"(/* comment */ {"callback_1":[null, 5]})").args, std::vector<std::string>{"5"});
  for (const char* bad : {"", "{{{", R"({"callback_1":"done"})", R"(["done"])"}) {
    Callback c = GetCallback1(bad);
    EXPECT_EQ(c.name, "") << bad;
    EXPECT_TRUE(c.args.empty()) << bad;
  }
  Json::Value back;
  Json::Reader().parse(R"({"sComeBack":{"fn":"ok","para":["7"]},"sTimeOut":{"para":["x"]},"bad":5})", back);
  EXPECT_EQ(GetRequestCallback(back, "sComeBack").name, "ok");
  EXPECT_EQ(GetRequestCallback(back, "sComeBack").args, std::vector<std::string>{"7"});
  EXPECT_EQ(GetRequestCallback(back, "sTimeOut").name, "");
  EXPECT_EQ(GetRequestCallback(back, "bad").name, "");
  EXPECT_EQ(GetRequestCallback(Json::Value(), "sComeBack").name, "");
}

TEST(RequestWorkerTest, Outcomes) {
  Server server;
  std::string unused = "http://127.0.0.1:1/x";  // nothing listens on port 1
  struct Case {
    const char* what;
    Request request;
    int code;
    std::string result;  // expected result; "=headers": the raw header block
  } cases[] = {
      {"POST with no header JSON sends one extra line", {true, "/headers", ""}, 0,
       "Content-Length: 0\nContent-Type: application/x-www-form-urlencoded\nHost: 127.0.0.1:" + std::to_string(server.port) + "\n"},
      {"Content_Type replaces the default", {true, "/headers", R"({"Content_Type":"Content-Type: text/xml\r\n"})"}, 0,
       "Content-Length: 0\nContent-Type: text/xml\nHost: 127.0.0.1:" + std::to_string(server.port) + "\n"},
      {"GET with the page's lines", {false, "/headers", R"({"arrHeadMessage":["X-A: 1","Cookie: k=v"]})"}, 0,
       "Cookie: k=v\nHost: 127.0.0.1:" + std::to_string(server.port) + "\nX-A: 1\n"},
      {"GET with {} has no lines: refused", {false, "/headers", "{}"}, 3, ""},
      {"GET with a malformed line last", {false, "/headers", R"({"arrHeadMessage":["X-A: 1","no colon"]})"}, 3, ""},
      {"a 302 returned as is", {false, "/r302", "", 0, 0}, 0, "=headers"},
      {"a 302 followed", {false, "/r302", "", 1, 1}, 0, "arrived"},
      {"utf-8 in any case is converted", {false, "/utf8", "", 1, 0, "UTF-8"}, 0, "\xB7\xBF"},
      {"another charset passes bytes", {false, "/utf8", "", 1, 0, "gbk"}, 0, "\xE6\x88\xBF"},
      {"GetType 0 gives the headers", {false, "/utf8", "", 0}, 0, "=headers"},
      {"GetType -1 gives the headers", {false, "/utf8", "", -1}, 0, "=headers"},
      {"a body keeps its NUL bytes", {true, "/echo", "", 1, 0, "", "", std::string("a\0b", 3)}, 0, std::string("a\0b", 3)},
      {"no scheme: cannot be split", {false, "!127.0.0.1/x", ""}, 1, ""},
      {"nobody listens", {false, "!" + unused, ""}, 4, ""},
      {"no answer within the receive time-out", {false, "/slow", "", 1, 0, "", "1&3000&3&3000&200"}, 5, ""},
  };
  for (const auto& c : cases) {
    int code = -1;
    auto record = RunRequest(server, c.request, &code);
    ASSERT_TRUE(record) << c.what;
    EXPECT_EQ(code, c.code) << c.what;
    if (c.code != 0) continue;
    EXPECT_EQ(record->sHeaders.rfind("HTTP/1.1 ", 0), 0u) << c.what;
    if (c.result == "=headers") {
      EXPECT_EQ(record->sResult, record->sHeaders) << c.what;
    } else {
      EXPECT_EQ(record->sResult, c.result) << c.what;
    }
  }
}

TEST(ErrorReportTest, MalformedTextsAreReportedOnceAndEncoded) {
  Server server;
  setenv("VELMORA_SERVICE", server.Url("").c_str(), 1);
  CThreadValue record;
  record.pPara->sUrl = "http://site.example/a?b=1&c=2";
  record.pPara->sHeader = "{{{";
  record.sHandle = "0";
  record.sBackJson = R"({"sComeBack":{"fn":"ok"}})";
  EXPECT_TRUE(CheckJson(record, "{}", kPlaceHeaderJson));  // too short to be read
  EXPECT_TRUE(CheckJson(record, R"({"a":1})", kPlaceHeaderJson));
  EXPECT_FALSE(CheckJson(record, "{{{", kPlaceHeaderJson));
  unsetenv("VELMORA_SERVICE");
  std::lock_guard lock(server.mutex);
  ASSERT_EQ(server.reports.size(), 1u);
  EXPECT_EQ(server.reports[0],
            "sUrl=http%3A%2F%2Fsite.example%2Fa%3Fb%3D1%26c%3D2&arrHeadMessage=%7B%7B%7B&sPostPara=&sHandle=0"
            "&sBackJson=%7B%22sComeBack%22%3A%7B%22fn%22%3A%22ok%22%7D%7D&sErroPlace=headerJson");
}

com::ComPtr<CWendexCtrl> ActiveControl();

// A service that does not answer the report, or trickles its answer, holds
// the method (and the page's thread) for the report's few seconds only.
TEST(ErrorReportTest, UnansweringServiceHoldsTheMethodBriefly) {
  enum Mode { Silent, Trickle };
  std::atomic<Mode> mode{Silent};
  std::atomic<bool> stop{false};
  support::LocalServer service;
  service.server.Post("/ocxErrorReport.html", [&](const httplib::Request&, httplib::Response& res) {
    if (mode == Silent) {
      for (int i = 0; i < 600 && !stop; ++i) std::this_thread::sleep_for(100ms);
      return;
    }
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(200ms);
      return !stop && sink.write("x", 1);
    });
  });
  ASSERT_TRUE(service.Start());
  setenv("VELMORA_SERVICE", service.Url("").c_str(), 1);
  for (Mode m : {Silent, Trickle}) {
    mode = m;
    auto ctrl = ActiveControl();
    auto start = std::chrono::steady_clock::now();
    ctrl->FPostM("http://site.example/", "{{{", "", "0", 1, 0, "", "");
    auto took = std::chrono::steady_clock::now() - start;
    // The bound only catches a report that waits for the service's time-outs (30 s and more).
    EXPECT_LT(took, 10s) << (m == Silent ? "silent" : "trickle");
    ctrl->Close();
  }
  unsetenv("VELMORA_SERVICE");
  stop = true;
}

com::ComPtr<CWendexCtrl> ActiveControl() {
  com::ComPtr<com::IClassFactory> factory;
  DllGetClassObject(wendex::CLSID_WendexCtrl, com::IID_IClassFactory, factory.PutVoid());
  com::ComPtr<com::IDispatch> disp;
  factory->CreateInstance(nullptr, com::IID_IDispatch, disp.PutVoid());
  auto ctrl = com::ComPtr<CWendexCtrl>::Adopt(static_cast<CWendexCtrl*>(disp.Detach()));
  EXPECT_EQ(ctrl->DoVerb(com::OLEIVERB_INPLACEACTIVATE), com::S_OK);
  return ctrl;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RequestControlTest, DiagnosticBoxesWhenMakeValueIsOne) {
  Server server;
  std::string log = testing::TempDir() + "requests_boxes.log";
  std::filesystem::remove(log);
  setenv("VELMORA_MSGBOX_LOG", log.c_str(), 1);
  auto ctrl = ActiveControl();
  ctrl->FGetM(server.Url("/headers"), R"({"arrHeadMessage":["X-A: 1"]})", "1abc", 1, 0, "", "{}");
  // One box for the header line, one with the completion code before the callback.
  EXPECT_TRUE(loop::DefaultLoop().RunUntil([&] { return ReadFile(log).find("\t0\n") != std::string::npos; }, 5000));
  EXPECT_NE(ReadFile(log).find("bResults:1_______X-A: 1"), std::string::npos) << ReadFile(log);
  // "abc" counts as 0: no boxes.
  std::filesystem::remove(log);
  ctrl->FGetM(server.Url("/headers"), R"({"arrHeadMessage":["X-A: 1"]})", "abc", 1, 0, "", "{}");
  loop::DefaultLoop().RunUntil([] { return false; }, 300);
  EXPECT_EQ(ReadFile(log), "");
  unsetenv("VELMORA_MSGBOX_LOG");
}

TEST(RequestControlTest, ControlGoneWhileARequestRuns) {
  Server server;
  {
    auto ctrl = ActiveControl();
    ctrl->FPostM(server.Url("/slow"), "", "x=1", "0", 1, 0, "", R"({"sComeBack":{"fn":"ok"}})");
    ctrl->FGetM(server.Url("/slow"), "", "0", 1, 0, "", "");
    ctrl->Close();
  }
  EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
  // The workers finish after the control is gone; their records are dropped
  // with their messages (the sanitizer build checks that nothing is touched or leaked).
  loop::DefaultLoop().RunUntil([] { return false; }, 2500);
}

}  // namespace
