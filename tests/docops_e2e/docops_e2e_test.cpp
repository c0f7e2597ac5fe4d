// End to end: a page in wendex-host creates the control, loads pages of a
// real local server into the control's own browser and runs the document
// operations on them. The hosting page's log lines and what the control's
// pages report (their forms, clicks, link targets, handlers) reach the test
// server as one ordered record; each case is checked against its share.
//
// The pages come from 127.0.0.1; frame B of frames.html comes from
// "localhost", another site. With VELMORA_SITE_ISOLATION=1 in the
// environment that frame runs out of process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "tests/docops_e2e/hosted_pages.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"

namespace {

using namespace e2e;

struct Case {
  std::string label;
  // Steps of the hosting page, run one after another; a step that starts
  // load waits ends when all of them have called back.
  std::vector<std::string> steps;
  // What the server recorded during the case ("host ..." for the hosting
  // page's log lines).
  std::vector<std::string> expected;
  // Submissions of several documents reach the server concurrently.
  bool anyOrder = false;
};

std::string Load(const std::string& page) { return "load('" + page + "');"; }

class DocOpsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PrepareControl("docops-e2e", &work_));

    ServeHostedPages(server_, &hostPage_, [this](const std::string& line) { Record(line); });
    server_.Post("/rec/post", [this](const httplib::Request& req, httplib::Response& res) {
      Record("post " + req.body);
      res.set_content("<!DOCTYPE html><html><body><p>posted \xE6\x88\xBF</p></body></html>", "text/html; charset=utf-8");
    });
    server_.Get("/rec/submit", [this](const httplib::Request& req, httplib::Response& res) {
      Record("submit " + Query(req));
      res.set_content("<!DOCTYPE html><html><body>submitted</body></html>", "text/html");
    });
    ASSERT_TRUE(local_.Start());
    setenv("VELMORA_SERVICE", local_.Url("").c_str(), 1);
  }
  void TearDown() override {
    local_.Stop();
    unsetenv("VELMORA_SERVICE");
    unsetenv("VELMORA_CHROMIUM");
    fs::remove_all(work_);
  }

  static std::string Query(const httplib::Request& req) {
    std::size_t q = req.target.find('?');
    return q == std::string::npos ? std::string() : req.target.substr(q + 1);
  }
  void Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    records_.push_back(line);
  }

  // Runs the cases in one hosting page and checks each case's records.
  void RunCases(const std::vector<Case>& cases, bool withBrowser = true) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n"
                       "<script src=\"/driver.js\"></script>\n<script>\n";
    if (withBrowser) page += "step(welcome);\n";
    for (const Case& c : cases) {
      page += "step(function() { log('case " + c.label + "'); });\n";
      for (const std::string& s : c.steps) page += "step(function() { " + s + " });\n";
    }
    page += "next();\n</script>\n</body></html>\n";
    hostPage_ = page;

    Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "150", local_.Url("/host.html")});
    ASSERT_EQ(run.exitCode, 0) << run.Text();
    ASSERT_TRUE(run.Has("end")) << run.Text();
    // No operation met an exception (that would have shown a box).
    EXPECT_EQ(ReadFile(work_ / "boxes"), "");

    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& r : records_) all += r + "\n";
    if (withBrowser) {
      ASSERT_FALSE(records_.empty());
      EXPECT_EQ(records_.front(), "host welcome yes");
    }
    for (const Case& c : cases) {
      auto begin = std::find(records_.begin(), records_.end(), "host case " + c.label);
      ASSERT_NE(begin, records_.end()) << c.label << "\n" << all;
      auto end = std::find_if(begin + 1, records_.end(), [](const std::string& r) { return r.rfind("host case ", 0) == 0; });
      std::vector<std::string> got(begin + 1, end);
      std::vector<std::string> expected = c.expected;
      if (c.anyOrder) {
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
      }
      EXPECT_EQ(got, expected) << "case: " << c.label;
    }
  }

  fs::path work_;
  support::LocalServer local_;
  httplib::Server& server_ = local_.server;
  std::string hostPage_;
  std::mutex mutex_;
  std::vector<std::string> records_;
};

// What form f of fill.html would submit, as fill.html reports it.
std::string F(const std::string& data, const std::string& action = "/rec/submit") {
  return "forms top f[" + action + "] " + data;
}
const char kUntouched[] = "title=&area=&agree=yes&city=a&note=keep&eq=";

TEST_F(DocOpsE2E, FillingForms) {
  auto fill = [](std::string label, std::string call, std::string code, std::string data) {
    return Case{label, {Load("fill.html"), "log(" + call + "); c.FClickLink('forms', '', '');"},
                {"host loaded", "host " + code, F(data)}};
  };
  std::vector<Case> cases = {
      fill("text in the code page", "c.FFillForm('f', 'title=房子', '')", "0",
           "title=%E6%88%BF%E5%AD%90&area=&agree=yes&city=a&note=keep&eq="),
      fill("two text inputs", "c.FFillForm('f', 'title=flat&area=85', '')", "0",
           "title=flat&area=85&agree=yes&city=a&note=keep&eq="),
      fill("radio matched ignoring case", "c.FFillForm('f', 'kind=F', '')", "0",
           "title=&area=&kind=f&agree=yes&city=a&note=keep&eq="),
      fill("ticked checkbox unticked", "c.FFillForm('f', 'agree=YES', '')", "0", "title=&area=&city=a&note=keep&eq="),
      fill("eleventh radio not clicked", "c.FFillForm('f', 'r=v10', '')", "0", kUntouched),
      fill("two same-named checkboxes", "c.FFillForm('f', 'pair=p', '')", "0",
           "title=&area=&agree=yes&pair=p&pair=p&city=a&note=keep&eq="),
      fill("select and textarea unchanged", "c.FFillForm('f', 'city=b&note=changed', '')", "0", kUntouched),
      fill("trailing ampersand", "c.FFillForm('f', 'title=x&', '')", "0", "title=x&area=&agree=yes&city=a&note=keep&eq="),
      fill("value keeps further equals signs", "c.FFillForm('f', 'eq=a=b==&title=u?v=1', '')", "0",
           "title=u%3Fv%3D1&area=&agree=yes&city=a&note=keep&eq=a%3Db%3D%3D"),
      fill("no such form", "c.FFillForm('nosuch', 'title=x', '')", "11", kUntouched),
      fill("IsChange 0 fills", "c.FFillForm1('f', 'title=one', 0, '/rec/changed', '')", "0",
           "title=one&area=&agree=yes&city=a&note=keep&eq="),
      fill("IsChange 2 fills", "c.FFillForm1('f', 'title=two', 2, '/rec/changed', '')", "0",
           "title=two&area=&agree=yes&city=a&note=keep&eq="),
      {"IsChange 1 changes the action",
       {Load("fill.html"), "log(c.FFillForm1('f', 'title=one', 1, '/rec/changed', '')); c.FClickLink('forms', '', '');"},
       {"host loaded", "host 99", F(kUntouched, "/rec/changed")}},
      // The top document has no such form: the frames are filled, the result is the top's.
      {"form only in the frames",
       {Load("frames.html"), "log(c.FFillForm('ff', 'title=flat', '')); c.FClickLink('forms', '', '');"},
       {"host loaded", "host 11", "forms A ff[/rec/submit] title=flat&w=A", "forms B ff[/rec/submit] title=flat&w=B",
        "forms top "}},
      // A refused submission leaves the code of the last field: the scanned group.
      {"refused submission reports the last field",
       {Load("fill.html?refuse"), "log(c.FFillFormS('f', 'title=x&kind=F', '')); c.FClickLink('forms', '', '');"},
       {"host loaded", "host 24", F("title=x&area=&kind=f&agree=yes&city=a&note=keep&eq=")}},
  };
  RunCases(cases);
}

TEST_F(DocOpsE2E, EditingAndSubmittingForms) {
  const std::string report = "c.FClickLink('forms', '', '');";
  std::vector<Case> cases = {
      {"fill and submit in the frames and the top",
       {Load("frames.html?top"), "log(c.FFillFormS('ff', 'title=sent', ''));",
        "until('arrived', function() { return c.FGetSrc().indexOf('/rec/submit?title=sent&w=top') >= 0; });"},
       {"host loaded", "host 0", "submit title=sent&w=A", "submit title=sent&w=B", "submit title=sent&w=top",
        "host arrived yes"},
       true},
      {"add to the form in the frames and the top",
       {Load("frames.html?top"),
        "log(c.FAddToForm('ff', '<input type=\"hidden\" name=\"added\" value=\"1\">', ''));"
        "log(c.FAddToForm('nosuch', '<b>x</b>', ''));" + report},
       {"host loaded", "host 0", "host 12", "forms A ff[/rec/submit] title=&w=A&added=1",
        "forms B ff[/rec/submit] title=&w=B&added=1", "forms top ff[/rec/submit] title=&w=top&added=1"}},
      {"change the action",
       {Load("frames.html?top"), "log(c.FChangeAction('ff', '/rec/moved', '')); log(c.FChangeAction('nosuch', '/x', ''));" + report},
       {"host loaded", "host 0", "host 0", "forms A ff[/rec/moved] title=&w=A", "forms B ff[/rec/moved] title=&w=B",
        "forms top ff[/rec/moved] title=&w=top"}},
      // Refused before anything happens: no submission, no wait.
      {"submit with a callback text that is not JSON",
       {Load("frames.html?top"), "log(c.FSubmitForm('ff', 'not json'));", "pause(500);"},
       {"host loaded", "host jsonError", "host 99"}},
      {"submit, then the next page is reported",
       {Load("frames.html?top"), "log(c.FSubmitForm('ff', wait()));"},
       {"host loaded", "host 99", "submit title=&w=A", "submit title=&w=B", "submit title=&w=top", "host loaded"},
       true},
  };
  RunCases(cases);
}

TEST_F(DocOpsE2E, LinkClicks) {
  std::vector<Case> cases = {
      {"link in two frames and the top",
       {Load("frames.html"), "log(c.FClickLink('go', 'ignored', ''));"},
       {"host loaded", "hit A go", "hit B go", "hit top go", "host 0"}},
      // B1 lies in B, each of another site than its parent: B1 comes before B.
      {"nested frames of other sites", {Load("frames.html?nest"), "log(c.FClickLink('go', '', ''));"},
       {"host loaded", "hit A go", "hit B1 go", "hit B go", "hit top go", "host 0"}},
      {"frames of a frameset",
       {Load("frameset.html"),
        "log(c.FClickLink('go', '', '')); log(c.FFillForm('ff', 'title=set', '')); c.FClickLink('forms', '', '');"},
       {"host loaded", "hit A go", "hit B go", "host 0", "host 11", "forms A ff[/rec/submit] title=set&w=A",
        "forms B ff[/rec/submit] title=set&w=B"}},
      {"every matching link", {Load("links.html"), "log(c.FClickLink('go', '', ''));"},
       {"host loaded", "hit top go", "hit top second go", "host 0"}},
      {"case differs", {Load("links.html"), "log(c.FClickLink('GO', '', ''));"}, {"host loaded", "host 99"}},
      {"empty text matches the image-only link", {Load("links.html"), "log(c.FClickLink('', '', ''));"},
       {"host loaded", "hit top image", "host 0"}},
      {"text in the code page", {Load("links.html"), "log(c.FClickLink('房子', '', ''));"},
       {"host loaded", "hit top house", "host 0"}},
      // The page goes away while the rest of its links are examined.
      {"link that leaves the page",
       {Load("links.html?many"), "log(c.FClickLink('next', '', ''));",
        "until('left', function() { return c.FGetSrc().indexOf('w=next') >= 0; });"},
       {"host loaded", "host 0", "submit w=next", "host left yes"},
       true},
      {"image-map area at the end", {Load("links.html?area"), "log(c.FClickLink('go', '', ''));"},
       {"host loaded", "hit top go", "hit top second go", "host 20"}},
      // The first of three matches leaves the page: the other two are still
      // clicked, and the last entry (an area) gives the result.
      {"a link that leaves the page does not end the scan",
       {Load("links.html?nav&area"), "log(c.FClickLink('go', '', ''));",
        "until('left', function() { return c.FGetSrc().indexOf('w=nav') >= 0; });"},
       {"host loaded", "hit top go", "hit top second go", "host 20", "submit w=nav", "host left yes"},
       true},
  };
  RunCases(cases);
}

TEST_F(DocOpsE2E, LinkTargetsAndInputClicks) {
  std::vector<Case> cases = {
      {"link targets change only with 1",
       {Load("frames.html"),
        "c.FClickLink('mk', '', ''); log(c.FSetTarget('sink', 0, '')); log(c.FSetTarget('sink', 7, ''));"
        "c.FClickLink('targets', '', ''); log(c.FSetTarget('sink', 1, '')); c.FClickLink('targets', '', '');"},
       {"host loaded", "host 0", "host 7", "targets A _blank", "targets B _blank", "targets top _blank", "host 1",
        "targets A sink", "targets B sink", "targets top sink"}},
      // Nothing navigates: every wait ends late.
      {"inputs by type, name and value",
       {Load("frames.html"),
        "c.FClickInput('BUTTON', 'b', 'SEND', wait()); c.FClickInput('button', 'e', 'v10', wait());"
        "c.FClickInput('button', 'n', 'NULL', wait()); c.FClickAction('button', 'b', '', '');"},
       {"host loaded", "hit A b", "hit B b", "hit top b", "hit top n", "host late", "host late", "host late"}},
      {"input click that submits", {Load("inputs.html"), "c.FClickInput('submit', 'go', 'Go', wait());"},
       {"host loaded", "submit w=clicked&go=Go", "host loaded"}},
  };
  RunCases(cases);
}

TEST_F(DocOpsE2E, ScriptAndContent) {
  std::vector<Case> cases = {
      {"call a function of the page",
       {Load("content.html"), "log(c.FCallJSF('ignored', 'greet', '{\"paramValue\":[\"房\",\"two\"]}', wait()));"},
       {"host loaded", "hit top greet 房 two", "host 0", "host loaded"}},
      // No page follows: the waits end late.
      {"call functions in every frame",
       {Load("frames.html"),
        "log(c.FCallJSF('', 'hit', '{\"paramValue\":[\"called\"]}', wait())); log(c.FCallJSF('', 'nosuch', '', wait()));"},
       {"host loaded", "hit A called", "hit B called", "hit top called", "host 0", "host 26", "host late", "host late"}},
      {"source of the answer to a posted form",
       {Load("post.html"), "log(c.FSubmitForm('p', wait()));", "log(c.FGetSource().match(/<p>(.*)<\\/p>/)[1]);"},
       {"host loaded", "host 99", "post w=posted", "host loaded", "host posted 房"},
       true},
      {"add to the body twice",
       {Load("content.html"),
        "log(c.FAddToBody('<p class=\"added\">x</p>', '')); log(c.FAddToBody('<p class=\"added\">x</p>', ''));"
        "c.FClickLink('body', '', '');"},
       {"host loaded", "host 0", "host 0", "body top 2 added"}},
      // Through the code page: what it lacks becomes "?".
      {"source of a UTF-8 page", {Load("content.html"), "log(c.FGetSource().match(/<p>(.*)<\\/p>/)[1]);"},
       {"host loaded", "host 房子 ?"}},
      {"source of a GBK page", {Load("gbk.html"), "log(c.FGetSource().match(/<p>(.*)<\\/p>/)[1]);"},
       {"host loaded", "host 房子"}},
      {"source of a UTF-16 page", {Load("utf16.html"), "log(c.FGetSource().match(/<p>(.*)<\\/p>/)[1]);"},
       {"host loaded", "host 房子"}},
      {"before-unload handlers neutralised everywhere",
       {Load("frames.html"), "c.FClickLink('arm', '', ''); c.FClickLink('unload', '', ''); c.FCloseEvent(); c.FClickLink('unload', '', '');"},
       {"host loaded", "unload A own", "unload B own", "unload top own", "unload A neutral", "unload B neutral",
        "unload top neutral"}},
  };
  RunCases(cases);
}

// A control whose browser program cannot be started has no document.
TEST_F(DocOpsE2E, WithoutADocument) {
  setenv("VELMORA_CHROMIUM", (work_ / "no-such-browser").c_str(), 1);
  std::vector<Case> cases = {
      {"every document method",
       {"log([c.FFillForm('f', 'a=1', ''), c.FFillFormS('f', 'a=1', ''), c.FFillForm1('f', 'a=1', 0, '/x', ''),"
        " c.FFillForm1('f', 'a=1', 1, '/x', ''), c.FAddToForm('f', '<b>x</b>', ''), c.FChangeAction('f', '/x', ''),"
        " c.FClickLink('go', '', ''), c.FSetTarget('x', 1, ''), c.FAddToBody('<b>x</b>', ''), c.FGetSource()].join(' '));"
        "c.FCloseEvent(); c.FClickAction('a', 'b', 'c', '');"
        "log(c.FCallJSF('', 'greet', '', wait())); log(c.FSubmitForm('f', wait())); log(c.FSubmitForm('f', '{'));"},
       {"host 1 1 1 1 1 0 1 1 1 getSource_error", "host 1", "host 1", "host jsonError", "host 99", "host late",
        "host late"}},
  };
  RunCases(cases, false);
}

}  // namespace
