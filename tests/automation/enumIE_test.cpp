#include "control/automation/enumIE.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "tests/automation/dom_test_double.h"

namespace {

using testdouble::Frame;
using testdouble::Log;
using testdouble::Make;
using testdouble::TestDoubleAnchor;
using testdouble::TestDoubleDocument;
using Doc = com::ComPtr<TestDoubleDocument>;

Doc NewDoc(const std::string& name, Log* log) { return Make<TestDoubleDocument>(name, log); }

// A page with frames A and B, A holding A1; every document defines `visit`.
struct FramedPage {
  Log log;
  Doc top = NewDoc("top", &log);
  Doc a = NewDoc("A", &log);
  Doc a1 = NewDoc("A1", &log);
  Doc b = NewDoc("B", &log);
  FramedPage() {
    a->AddFrame({a1});
    top->AddFrame({a}).AddFrame({b});
    for (auto* d : {&top, &a, &a1, &b}) (*d)->Define("visit");
  }
};

TEST(CallScript, VisitsFramesDepthFirstThenTopWithArgumentsInOrder) {
  setenv("VELMORA_CODEPAGE", "GBK", 1);
  FramedPage page;
  enumIE worker;
  // The arguments arrive as ANSI texts ("中文" in GBK) and reach the engine as UTF-8.
  worker.callScript("visit", {"one", "\xD6\xD0\xCE\xC4"}, page.top.Get());
  EXPECT_EQ(page.log, (Log{"A1:visit(one,中文)", "A:visit(one,中文)", "B:visit(one,中文)",
                           "top:visit(one,中文)"}));
  EXPECT_EQ(worker.nScriptStatus, STATUS_DONE);
  // Other families are untouched.
  EXPECT_EQ(worker.nEditStatus, STATUS_NOT_SET);
  EXPECT_EQ(worker.nFillStatus, STATUS_NOT_SET);
}

TEST(CallScript, StatusIsThatOfTheLastDocumentWithAScript) {
  struct Case {
    const char* what;
    std::function<void(FramedPage&)> setUp;
    std::vector<std::string> arguments;
    std::int32_t status;
    Log calls;
  };
  const Case cases[] = {
      {"function only in a frame: called there, top reports 26",
       [](FramedPage& p) {
         for (auto* d : {&p.top, &p.a, &p.b}) (*d)->functions.clear();
       },
       {}, SCRIPT_NO_FUNCTION, {"A1:visit()"}},
      {"the top's function fails: 27",
       [](FramedPage& p) { p.top->Define("visit", com::DISP_E_EXCEPTION); },
       {"x"}, SCRIPT_CALL_FAILED, {"A1:visit(x)", "A:visit(x)", "B:visit(x)", "top:visit(x)"}},
      {"a frame's failure is overwritten by the top's success",
       [](FramedPage& p) { p.b->Define("visit", com::E_FAIL); },
       {}, STATUS_DONE, {"A1:visit()", "A:visit()", "B:visit()", "top:visit()"}},
      {"top without a script object: frames still visited, last frame reports",
       [](FramedPage& p) {
         p.top->hasScript = false;
         p.b->functions.clear();
       },
       {}, SCRIPT_NO_FUNCTION, {"A1:visit()", "A:visit()"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FramedPage page;
    c.setUp(page);
    enumIE worker;
    worker.callScript("visit", c.arguments, page.top.Get());
    EXPECT_EQ(worker.nScriptStatus, c.status);
    EXPECT_EQ(page.log, c.calls);
  }
}

TEST(CallScript, NothingHappensWithoutADocumentOrWithAnEmptyName) {
  enumIE worker;
  worker.callScript("visit", {}, nullptr);
  EXPECT_EQ(worker.nScriptStatus, STATUS_NOT_SET);
  FramedPage page;
  worker.callScript("", {}, page.top.Get());
  EXPECT_EQ(worker.nScriptStatus, SCRIPT_NO_FUNCTION);
  EXPECT_TRUE(page.log.empty());
}

TEST(CallScript, AnExceptionRecordsOneShowsTheBoxAndTheWalkGoesOn) {
  char path[] = "/tmp/enumie-box-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("VELMORA_MSGBOX_LOG", path, 1);
  setenv("VELMORA_CODEPAGE", "GBK", 1);

  FramedPage page;
  page.a->functions["visit"] = [](const std::vector<std::string>&) -> com::HRESULT {
    throw std::runtime_error("engine broke");
  };
  page.top->hasScript = false;  // so the last word written is the one of the frames
  page.b->functions.clear();
  enumIE worker;
  worker.callScript("visit", {}, page.top.Get());
  EXPECT_EQ(worker.nScriptStatus, SCRIPT_NO_FUNCTION);  // B, after A's exception
  EXPECT_EQ(page.log, (Log{"A1:visit()"}));

  // The exception alone: 1.
  enumIE second;
  second.callScript("visit", {}, page.a.Get());
  EXPECT_EQ(second.nScriptStatus, STATUS_EXCEPTION);

  unsetenv("VELMORA_MSGBOX_LOG");
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "YICHANG\t程序异常，请重试\nYICHANG\t程序异常，请重试\n");
  unlink(path);
}

// The walk's failure branches, seen through setLinkTarget (a recording
// walk) and callScript (a walk that records nothing).
TEST(FrameWalk, FailureBranches) {
  struct Case {
    const char* what;
    std::function<void(FramedPage&)> setUp;
    std::int32_t editStatus;  // what setLinkTarget's walk leaves
    Log calls;                // what callScript reaches
  };
  const Case cases[] = {
      {"no frames collection: 18, frames skipped",
       [](FramedPage& p) { p.top->framesFail = true; }, STATUS_NO_FRAMES, {"top:visit()"}},
      {"frame count unreadable: 13, frames skipped",
       [](FramedPage& p) { p.top->lengthFails = true; }, STATUS_NO_FRAME_COUNT, {"top:visit()"}},
      {"inner failure recorded, later siblings still walked",
       [](FramedPage& p) { p.a->lengthFails = true; }, STATUS_NO_FRAME_COUNT,
       {"A:visit()", "B:visit()", "top:visit()"}},
      {"item fails for the first frame: the next is walked",
       [](FramedPage& p) { p.top->frames[0].itemFails = true; }, STATUS_NOT_SET,
       {"B:visit()", "top:visit()"}},
      {"an item that is no window is skipped",
       [](FramedPage& p) { p.top->frames[1].notAWindow = true; }, STATUS_NOT_SET,
       {"A1:visit()", "A:visit()", "top:visit()"}},
      {"document refused: reached through the frame's browser",
       [](FramedPage& p) { p.top->frames[0].getDocumentFails = true; }, STATUS_NOT_SET,
       {"A1:visit()", "A:visit()", "B:visit()", "top:visit()"}},
      {"document empty: reached through the frame's browser",
       [](FramedPage& p) { p.top->frames[1].getDocumentEmpty = true; }, STATUS_NOT_SET,
       {"A1:visit()", "A:visit()", "B:visit()", "top:visit()"}},
      {"document refused and no service provider: skipped without a status",
       [](FramedPage& p) {
         p.top->frames[0].getDocumentFails = true;
         p.top->frames[0].noServiceProvider = true;
       },
       STATUS_NOT_SET, {"B:visit()", "top:visit()"}},
      {"document refused and no browser: skipped without a status",
       [](FramedPage& p) {
         p.top->frames[1].getDocumentEmpty = true;
         p.top->frames[1].noBrowser = true;
       },
       STATUS_NOT_SET, {"A1:visit()", "A:visit()", "top:visit()"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      FramedPage page;
      c.setUp(page);
      enumIE worker;
      worker.setLinkTarget("_self", page.top.Get());
      EXPECT_EQ(worker.nEditStatus, c.editStatus);
    }
    FramedPage page;
    c.setUp(page);
    enumIE worker;
    worker.callScript("visit", {}, page.top.Get());
    EXPECT_EQ(page.log, c.calls);
    EXPECT_EQ(worker.nEditStatus, STATUS_NOT_SET);
  }
}

TEST(FrameWalk, APageWithoutFramesRecordsNothing) {
  Log log;
  Doc top = NewDoc("top", &log);
  enumIE worker;
  worker.setLinkTarget("_self", top.Get());
  EXPECT_EQ(worker.nEditStatus, STATUS_NOT_SET);
}

TEST(SetLinkTarget, ReplacesBlankInAnyCaseInEveryFrame) {
  FramedPage page;
  auto link = [](const char* target) { return Make<TestDoubleAnchor>(target); };
  std::vector<com::ComPtr<TestDoubleAnchor>> topLinks = {link("_blank"), link("_BLANK"), link("_top"),
                                                         link(""), link("_Blank")};
  auto unreadable = link("_blank");
  unreadable->readFails = true;
  for (auto& l : topLinks) page.top->links.push_back(com::ComPtr<com::IUnknown>::Share(l.Get()));
  page.top->links.push_back(com::ComPtr<com::IUnknown>::Adopt(new testdouble::TestDoubleSpan));  // not an anchor
  page.top->links.push_back(com::ComPtr<com::IUnknown>::Share(unreadable.Get()));
  auto inFrame = link("_blank");
  page.a1->links.push_back(com::ComPtr<com::IUnknown>::Share(inFrame.Get()));

  enumIE worker;
  worker.setLinkTarget("main", page.top.Get());
  std::vector<std::string> targets;
  for (auto& l : topLinks) targets.push_back(l->target);
  EXPECT_EQ(targets, (std::vector<std::string>{"main", "main", "_top", "", "main"}));
  EXPECT_EQ(unreadable->target, "_blank");
  EXPECT_EQ(inFrame->target, "main");
}

TEST(CloseEvents, EveryFrameThenTheTopRunsTheEventScriptAndTheExtraText) {
  FramedPage page;
  enumIE worker;
  worker.closeEvents("alert=null;", page.top.Get());
  const std::string script =
      "exec[JavaScript] window.onbeforeunload=function(){event.returnvalue=null;};alert=null;";
  EXPECT_EQ(page.log, (Log{"A1:" + script, "A:" + script, "B:" + script, "top:" + script}));
  // No status of its own, and a walk that records nothing.
  EXPECT_EQ(worker.nEditStatus, STATUS_NOT_SET);
  EXPECT_EQ(worker.nScriptStatus, STATUS_NOT_SET);
  worker.closeEvents("", nullptr);  // no document: nothing
}

TEST(GetParamValue, ReadsTheListOrGivesNone) {
  struct Case {
    const char* text;
    std::vector<std::string> list;
  };
  const Case cases[] = {
      {R"({"paramValue":["a","b"]})", {"a", "b"}},
      {R"({"paramValue":[]})", {}},
      {"not json", {}},
      {"", {}},
      {R"({"other":["a"]})", {}},
      {R"({"paramValue":"a"})", {}},
      {R"(["a","b"])", {}},
      {"/* note */ {\"paramValue\":[\"x\", // one\n 2, true, null]}", {"x", "2", "true", ""}},
      {R"({"paramValue":[{"k":1},[1]]})", {R"({"k":1})", "[1]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(GetParamValue(c.text), c.list);
  }
}

}  // namespace
