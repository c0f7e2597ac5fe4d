// End to end: wendex-host (real WebKitGTK under Xvfb) loads pages from a
// real local HTTP server; the pages create the real control (registered
// with regsvr32) and the test-only automation probe, and report what they
// see on the console, which wendex-host prints one line each.
#include <gtest/gtest.h>
#include <httplib.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"


namespace {

namespace fs = std::filesystem;

constexpr char kProbeClsid[] = "{0C7E55A1-9D3B-4B8E-8F0A-5B7E2D1C0A01}";

using namespace e2e;

class HostE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = new fs::path(fs::temp_directory_path() / ("wendex-host-e2e-" + std::to_string(getpid())));
    fs::create_directories(*work_);
    setenv("VELMORA_REGISTRY", (*work_ / "registry").c_str(), 1);
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    unsetenv("VELMORA_ALLOWED_ORIGINS");
    // The real control, registered the way the installer does it.
    Outcome reg = RunProgram({VELMORA_REGSVR32, "/s", VELMORA_CONTROL_MODULE});
    ASSERT_EQ(reg.exitCode, 0);
    // The probe, registered by hand.
    registry::SetValue("HKEY_CLASSES_ROOT\\Velmora.AutomationProbe.1\\CLSID", "", kProbeClsid);
    registry::SetValue(std::string("HKEY_CLASSES_ROOT\\CLSID\\") + kProbeClsid + "\\InprocServer32", "",
                       VELMORA_PROBE_MODULE);
    // One server on two loopback addresses: 127.0.0.2 is an origin the
    // control was not made for.
    server_ = new support::LocalServer("127.0.0.1");
    otherServer_ = new support::LocalServer("127.0.0.2");
    for (auto* s : {server_, otherServer_}) {
      s->server.set_mount_point("/", VELMORA_E2E_PAGES);
      ASSERT_TRUE(s->Start());
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    delete otherServer_;
    fs::remove_all(*work_);
    delete work_;
  }
  void SetUp() override {
    boxes_ = *work_ / (std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".boxes");
    probeLog_ = *work_ / (std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".probe");
    setenv("VELMORA_MSGBOX_LOG", boxes_.c_str(), 1);
    setenv("VELMORA_PROBE_LOG", probeLog_.c_str(), 1);
  }

  static std::string Url(const std::string& page) { return server_->Url("/" + page); }
  static Outcome Host(const std::string& url) {
    return RunProgram({VELMORA_WENDEX_HOST, "--timeout", "30", url});
  }

  static fs::path* work_;
  static support::LocalServer* server_;
  static support::LocalServer* otherServer_;
  fs::path boxes_, probeLog_;
};

fs::path* HostE2E::work_ = nullptr;
support::LocalServer* HostE2E::server_ = nullptr;
support::LocalServer* HostE2E::otherServer_ = nullptr;

TEST_F(HostE2E, ScriptCallsThroughTheControlCreatedByProgId) {
  Outcome run = Host(Url("calls.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::vector<std::string> expected = {
      "typeof lower-case method = function",
      // Both texts, in order, the non-ASCII one intact through the code page.
      "two called with 2: first|第二",
      "two = 0",
      // Defined only in the frame: runs there, the top reports 26.
      "onlyInFrame ran in the frame with x",
      "frame only = 26",
      "throws = 27",
      "none called with 0",
      "empty list = 0",
      "none called with 0",
      "not json = 0",
      "unknown member = undefined",
      "bad call = FCallJSF1: wrong number of arguments",
      "unregistered = ActiveXObject('Nobody.Registered.1'): no control named 'Nobody.Registered.1' is "
      "registered",
      "no progid = ActiveXObject(''): a ProgID is required",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
  // A script error inside the function is a failed call, not an exception: no box.
  EXPECT_EQ(ReadFile(boxes_), "");
}

TEST_F(HostE2E, FramesAreVisitedDepthFirstTopLastAnotherSiteIncluded) {
  Outcome run = Host(Url("walk.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::vector<std::string> expected = {
      "visit A1 walk",
      "visit A walk",
      "visit B walk at localhost",
      "visit top walk",
      "result = 0",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
}

TEST_F(HostE2E, CloseEventsAndSetLinkTargetReachEveryFrame) {
  Outcome run = Host(Url("hooks.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::string hooks =
      ": onbeforeunload function clears returnvalue, extra yes, targets main main main _top (none)";
  const std::vector<std::string> expected = {
      "setLinkTarget status = 99",
      "frame same" + hooks,
      "frame other" + hooks,  // another site's frame
      "top" + hooks,
      "report status = 0",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
}

TEST_F(HostE2E, ObjectElementsBecomeControlsWithParamsAndSize) {
  Outcome run = Host(Url("object.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::vector<std::string> expected = {
      "inline: typeof ctl.FCallJSF1 = function",
      "hello from the element",
      "element call = 0",
      "still the element: ctl OBJECT 320",
      "params: 1 你好",
      "extent: 200x100",
      "extent after resize: 300x150",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
  EXPECT_NE(ReadFile(probeLog_).find("loaded 2\n"), std::string::npos) << ReadFile(probeLog_);
}

// The operations of the JavaScriptCore back end on a real page (written in
// GBK), driven through the probe.
TEST_F(HostE2E, EngineOperationsOnARealPage) {
  Outcome run = Host(Url("exercise.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::vector<std::string> expected = {
      "browser ready state: 4",
      "document ready state: complete",
      "charset: GBK",
      "address ends with: exercise.html",
      "forms: 2",
      "form by name: login with 5 controls",
      "input: text old -> 新",
      "second control named pick: b",
      "action: /elsewhere",
      "textarea is an input: no",
      "textarea value: some notes",
      "missing property: 0x80020006",
      "form by position: second",
      "form that is not there: none",
      "field with an empty name: none",
      "links: 2, first first.html target _self",
      "inserted: P added text",
      "title after click: clicked",
      "execScript: 42",
      "other language: 0x80070057",
      "script error: 0x80020009",
      "cookie: probe=1",
      "frames: 1",
      "frame out of range: 0x80070057",
      "frame document: calls_frame.html",
      "frame execScript: ",
      "source: doctype first, GBK text kept",
      "page sees: 新 /elsewhere in the frame",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
}

TEST_F(HostE2E, TheControlGoesWithItsPage) {
  Outcome run = Host(Url("nav.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"created: -1x-1", "arrived"})) << run.Text();
  // Sited with the creating page, activated, then on navigation unsited,
  // closed and released, before the next page ran.
  EXPECT_EQ(ReadFile(probeLog_),
            "sited " + Url("nav.html") + "\ninit new\nverb -5\nunsited\nclosed\nreleased\n");
}

TEST_F(HostE2E, PagesOfOtherOriginsAreRefusedUnlessAllowed) {
  const std::string origin = otherServer_->Url("");
  Outcome refused = Host(origin + "/origin.html");
  ASSERT_EQ(refused.exitCode, 0) << refused.Text();
  EXPECT_TRUE(refused.Has("<object classid=\"clsid:6D8DC97C-3B31-4D45-A902-3311B363F355\">: the control may "
                          "not be used by this page"))
      << refused.Text();
  EXPECT_TRUE(refused.Has("refused: ActiveXObject('WENDEX.WendexCtrl.1'): the control may not be used by this "
                          "page, element: undefined"))
      << refused.Text();

  setenv("VELMORA_ALLOWED_ORIGINS", ("http://example.test," + origin).c_str(), 1);
  Outcome allowed = Host(origin + "/origin.html");
  unsetenv("VELMORA_ALLOWED_ORIGINS");
  ASSERT_EQ(allowed.exitCode, 0) << allowed.Text();
  EXPECT_EQ(allowed.lines, (std::vector<std::string>{"created: function, element: function"})) << allowed.Text();
}

TEST_F(HostE2E, BrokenRegistrationsGiveScriptErrors) {
  const std::string hkcr = "HKEY_CLASSES_ROOT\\";
  registry::SetValue(hkcr + "Velmora.MissingModule.1\\CLSID", "", "{0C7E55A1-0000-0000-0000-000000000001}");
  registry::SetValue(hkcr + "CLSID\\{0C7E55A1-0000-0000-0000-000000000001}\\InprocServer32", "",
                     (*work_ / "gone.ocx").string());
  // A shared object that is no control module: the host extension itself.
  registry::SetValue(hkcr + "Velmora.NotAModule.1\\CLSID", "", "{0C7E55A1-0000-0000-0000-000000000002}");
  registry::SetValue(hkcr + "CLSID\\{0C7E55A1-0000-0000-0000-000000000002}\\InprocServer32", "",
                     VELMORA_HOST_EXTENSION);
  registry::SetValue(hkcr + "Velmora.BadClsid.1\\CLSID", "", "not a guid");
  Outcome run = Host(Url("broken.html"));
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  const std::string gone = (*work_ / "gone.ocx").string();
  const std::vector<std::string> expected = {
      "<object classid=\"clsid:not-a-class-id\">: 'not-a-class-id' is not a class id",
      "<object classid=\"clsid:11111111-2222-3333-4444-555555555555\">: no control with class id "
      "{11111111-2222-3333-4444-555555555555} is registered",
      "ActiveXObject('Velmora.MissingModule.1'): cannot load the control's module " + gone + ": " + gone +
          ": cannot open shared object file: No such file or directory",
      std::string("ActiveXObject('Velmora.NotAModule.1'): ") + VELMORA_HOST_EXTENSION + " is not a control module",
      "ActiveXObject('Velmora.BadClsid.1'): the registration of 'Velmora.BadClsid.1' is broken",
      "ActiveXObject('CLSID\\..\\x'): 'CLSID\\..\\x' is not a ProgID",
      "ActiveXObject(''): '' is not a ProgID",
  };
  EXPECT_EQ(run.lines, expected) << run.Text();
}

TEST_F(HostE2E, TimeOutAndBadCommandLine) {
  // A page that never closes: exit code 2 after the time-out.
  Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "1", Url("walk_a1.html")});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(RunProgram({VELMORA_WENDEX_HOST}).exitCode, 1);
  EXPECT_EQ(RunProgram({VELMORA_WENDEX_HOST, "--timeout", "soon", Url("walk_a1.html")}).exitCode, 1);
}

}  // namespace
