// Form filling on a real Chromium, where the fill of one form travels to
// the browser in one call: for each value string (up to 1,000 pieces of
// every kind mixed), the code the last field leaves (seen through
// fillFormSubmit on a page that refuses every submission) and the state of
// every field it named.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "control/automation/enumIE.h"
#include "engine/cdp/CdpBrowser.h"
#include "platform/loop.h"
#include "tests/support/LocalServer.h"

namespace {

// Form f: text inputs, groups, a select, a text area, a file input, a
// group of twelve radio buttons and the text inputs t0..t49. Submissions
// are refused, so fillFormSubmit reports the code of the last field.
std::string FormPage() {
  std::string page =
      "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body><form name='f' action='/never'>"
      "<input name='title'><input name='area'>"
      "<input type='radio' name='kind' value='m'><input type='radio' name='kind' value='f'>"
      "<input type='checkbox' name='agree' value='yes' checked>"
      "<input type='checkbox' name='pair' value='p'><input type='checkbox' name='pair' value='P'>"
      "<select name='city'><option>a</option><option>b</option></select>"
      "<textarea name='note'>keep</textarea><input type='file' name='up'>";
  for (int i = 0; i < 12; ++i) page += "<input type='radio' name='r' value='v" + std::to_string(i) + "'>";
  for (int i = 0; i < 50; ++i) page += "<input name='t" + std::to_string(i) + "'>";
  page +=
      "</form><script>"
      "HTMLFormElement.prototype.submit = function() { throw new Error('refused'); };"
      // A field's state: a text's value, or a group's ticks ("1,0").
      "function state(n) {"
      "  const l = document.forms.f.elements.namedItem(n);"
      "  if (!l) return '<none>';"
      "  return (l.nodeType === 1 ? [l] : Array.from(l))"
      "      .map((e) => e.type === 'radio' || e.type === 'checkbox' ? (e.checked ? '1' : '0') : e.value).join(',');"
      "}"
      "</script></body></html>";
  return page;
}

struct Events final : engine::BrowserEvents {
  int completed = 0;
  bool BeforeNavigate2(std::string_view, bool) override { return true; }
  void NavigateComplete2(std::string_view, bool) override {}
  void DocumentComplete(std::string_view, bool top) override { completed += top; }
  void NavigateError(std::string_view, bool, std::int32_t) override {}
};

std::string Eval(engine::Document* document, const std::string& code) {
  com::ComPtr<engine::Window> window;
  if (com::Failed(document->get_parentWindow(window.Put())) || !window) return "<no window>";
  com::Variant result;
  if (com::Failed(window->execScript(code, "JavaScript", &result))) return "<failed>";
  return com::VariantToText(result);
}

struct Case {
  std::string what;
  std::string values;
  std::int32_t status;  // what fillFormSubmit leaves: the last field's code, or 99
  std::vector<std::pair<std::string, std::string>> fields;  // name, state afterwards
};

// 1,000 pieces, five kinds in turn: a text input found, a name the form
// lacks, the ticked checkbox (clicked each time), the radio group (m and f
// in turn) and a select (left alone). The last piece is a select's, so the
// code is the radio group's 24; the checkbox is clicked 200 times and
// stays ticked; t0, t5 .. t45 hold the last value written to them.
Case ThousandPieces() {
  Case c{"1,000 pieces of every kind", "", STATUS_GROUP_SCANNED, {}};
  for (int i = 0; i < 1000; ++i) {
    if (i) c.values += "&";
    switch (i % 5) {
      case 0: c.values += "t" + std::to_string(i % 50) + "=v" + std::to_string(i); break;
      case 1: c.values += "missing" + std::to_string(i) + "=x"; break;
      case 2: c.values += "agree=yes"; break;
      case 3: c.values += (i / 5) % 2 ? "kind=F" : "kind=m"; break;
      case 4: c.values += "city=b"; break;
    }
  }
  for (int j = 0; j < 50; ++j)
    c.fields.push_back({"t" + std::to_string(j), j % 5 ? "" : "v" + std::to_string(950 + j)});
  c.fields.push_back({"agree", "1"});
  c.fields.push_back({"kind", "0,1"});  // the last radio piece (i = 998) names f
  c.fields.push_back({"city", "a"});
  return c;
}

class FormFillingChromium : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new support::LocalServer();
    server_->server.Get("/form.html", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(FormPage(), "text/html; charset=utf-8");
    });
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() { delete server_; }
  static support::LocalServer* server_;
};
support::LocalServer* FormFillingChromium::server_ = nullptr;

TEST_F(FormFillingChromium, StatusAndFieldsForEachValueString) {
  setenv("VELMORA_CODEPAGE", "GBK", 1);
  loop::Loop& loop = loop::DefaultLoop();
  auto browser = cdp::CreatePageBrowser(loop);
  Events events;
  browser->Advise(&events);
  ASSERT_EQ(browser->Navigate(server_->Url("/form.html")), com::S_OK);
  // The bound only catches a load that never ends.
  ASSERT_TRUE(loop.RunUntil([&] { return events.completed > 0; }, 30000));
  com::ComPtr<engine::Document> top;
  ASSERT_EQ(browser->get_Document(top.Put()), com::S_OK);
  ASSERT_TRUE(top);

  const std::vector<Case> cases = {
      {"two text inputs", "title=flat&area=85", STATUS_DONE, {{"title", "flat"}, {"area", "85"}}},
      {"a radio button matched in any case", "kind=F", STATUS_GROUP_SCANNED, {{"kind", "0,1"}}},
      {"a ticked checkbox is unticked", "agree=YES", STATUS_GROUP_SCANNED, {{"agree", "0"}}},
      {"every matching member of a group", "pair=p", STATUS_GROUP_SCANNED, {{"pair", "1,1"}}},
      {"the eleventh radio button lies past the scan", "r=v10", STATUS_GROUP_SCANNED,
       {{"r", "0,0,0,0,0,0,0,0,0,0,0,0"}}},
      {"a select and a text area say nothing", "title=x&city=b&note=n", STATUS_DONE,
       {{"title", "x"}, {"city", "a"}, {"note", "keep"}}},
      {"a name the form lacks says nothing", "title=x&nosuch=1", STATUS_DONE, {{"title", "x"}}},
      {"nothing written", "nosuch=1&=&", STATUS_NOT_SET, {}},
      // The fill stops before a file input, which the field step sets;
      // the pieces after it are filled in a second call.
      {"a file input in the middle", "title=a&up=&area=b&kind=m", STATUS_GROUP_SCANNED,
       {{"title", "a"}, {"up", ""}, {"area", "b"}, {"kind", "1,0"}}},
      {"a file input refusing its value still records 0", "area=c&up=C:\\x.jpg", STATUS_DONE,
       {{"area", "c"}, {"up", ""}}},
      {"values keep further equals signs", "title=u?v=1&area=a==", STATUS_DONE,
       {{"title", "u?v=1"}, {"area", "a=="}}},
      {"texts in the code page", "title=\xB7\xBF\xD7\xD3", STATUS_DONE, {{"title", "房子"}}},
      ThousandPieces(),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Eval(top.Get(), "document.forms.f.reset()");
    enumIE worker;
    worker.fillFormSubmit("f", c.values, top.Get());
    EXPECT_EQ(worker.nFillStatus, c.status);
    for (const auto& [name, state] : c.fields) EXPECT_EQ(Eval(top.Get(), "state('" + name + "')"), state) << name;
  }

  // fillForm itself ends with 0 for a found form, 11 for a missing one.
  enumIE found;
  found.fillForm("f", ThousandPieces().values, top.Get());
  EXPECT_EQ(found.nFillStatus, STATUS_DONE);
  enumIE missing;
  missing.fillForm("nosuch", "title=x", top.Get());
  EXPECT_EQ(missing.nFillStatus, STATUS_NO_FORM);
  browser->Advise(nullptr);
}

}  // namespace
