// Form filling on a real Chromium, where the fill of one form travels to
// the browser in one call: for each value string (up to 1,000 pieces of
// every kind mixed), the code the last field leaves (seen through
// fillFormSubmit on a page that refuses every submission) and the state of
// every field it named.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
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

// Form p: a single and a multiple file input and a text input; each file
// input's events are kept in `seen` in the order they fire.
constexpr const char kFilesPage[] =
    "<!DOCTYPE html><html><head><meta charset='utf-8'></head><body><form name='p' action='/never'>"
    "<input type='file' name='one'><input type='FILE' name='many' multiple><input name='title'></form><script>"
    "const seen = [];"
    "for (const e of document.querySelectorAll('input[type=file i]'))"
    "  for (const type of ['input', 'change']) e.addEventListener(type, () => seen.push(e.name + ':' + type));"
    // A file input's files as name/size pairs, and what its value shows.
    "function files(n) {"
    "  const e = document.forms.p.elements[n];"
    "  return Array.from(e.files).map((f) => f.name + '/' + f.size).join(',') + ' ' + e.value;"
    "}"
    "</script></body></html>";

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
    server_->server.Get("/files.html", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(kFilesPage, "text/html; charset=utf-8");
    });
    server_->server.Get("/photo/c.png", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(std::string(3000, 'c'), "image/png");
    });
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() { delete server_; }
  // Loads a page of the server; its top document, null when it did not load.
  static com::ComPtr<engine::Document> Load(engine::Browser* browser, Events& events, const std::string& path) {
    events.completed = 0;
    com::ComPtr<engine::Document> top;
    if (browser->Navigate(server_->Url(path)) != com::S_OK) return top;
    // The bound only catches a load that never ends.
    if (!loop::DefaultLoop().RunUntil([&] { return events.completed > 0; }, 30000)) return top;
    browser->get_Document(top.Put());
    return top;
  }
  static support::LocalServer* server_;
};
support::LocalServer* FormFillingChromium::server_ = nullptr;

TEST_F(FormFillingChromium, StatusAndFieldsForEachValueString) {
  setenv("VELMORA_CODEPAGE", "GBK", 1);
  loop::Loop& loop = loop::DefaultLoop();
  auto browser = cdp::CreatePageBrowser(loop);
  Events events;
  browser->Advise(&events);
  com::ComPtr<engine::Document> top = Load(browser.Get(), events, "/form.html");
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
      {"a file input whose file cannot be had is left as it was", "area=c&up=C:\\x.jpg", STATUS_FILES_UNAVAILABLE,
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

// File inputs on a real Chromium: the files their value names, all at once,
// with the events of a person's pick; a source that cannot be had leaves
// the input as it was.
TEST_F(FormFillingChromium, FileInputsGetTheirFiles) {
  auto browser = cdp::CreatePageBrowser(loop::DefaultLoop());
  Events events;
  browser->Advise(&events);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("files-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, std::size_t size) {
    std::ofstream(dir / name, std::ios::binary) << std::string(size, name[0]);
    return (dir / name).string();
  };
  const std::string a = write("a.jpg", 1000), b = write("b.jpg", 2000);
  const std::string c = server_->Url("/photo/c.png");

  struct FileCase {
    std::string what, values;
    std::int32_t status;
    std::string one, many, title, seen;
  };
  const std::vector<FileCase> cases = {
      {"a single input takes the first, a multiple one all", "one=" + a + "|" + b + "&many=" + b + "|" + c + "&title=t",
       STATUS_DONE, "a.jpg/1000 C:\\fakepath\\a.jpg", "b.jpg/2000,c.png/3000 C:\\fakepath\\b.jpg", "t",
       "one:input,one:change,many:input,many:change"},
      {"a missing file leaves the input, the other pieces go on", "title=u&many=" + a + "|" + dir.string() + "/none.jpg",
       STATUS_FILES_UNAVAILABLE, " ", " ", "u", ""},
      {"only http, https and absolute paths", "many=file://" + a + "&one=" + a, STATUS_FILES_UNAVAILABLE,
       "a.jpg/1000 C:\\fakepath\\a.jpg", " ", "", "one:input,one:change"},
      {"a folder is no file", "one=" + dir.string(), STATUS_FILES_UNAVAILABLE, " ", " ", "", ""},
      {"an empty value names no file", "one=&title=v", STATUS_DONE, " ", " ", "v", ""},
  };
  for (const FileCase& fc : cases) {
    SCOPED_TRACE(fc.what);
    // A fresh page for each case: a file input cannot be reset by script alone.
    com::ComPtr<engine::Document> top = Load(browser.Get(), events, "/files.html");
    ASSERT_TRUE(top);
    enumIE worker;
    worker.fillForm("p", fc.values, top.Get());
    EXPECT_EQ(worker.nFillStatus, fc.status);
    EXPECT_EQ(Eval(top.Get(), "files('one')"), fc.one);
    EXPECT_EQ(Eval(top.Get(), "files('many')"), fc.many);
    EXPECT_EQ(Eval(top.Get(), "document.forms.p.title.value"), fc.title);
    EXPECT_EQ(Eval(top.Get(), "seen.join()"), fc.seen);
  }
  browser->Advise(nullptr);
  std::filesystem::remove_all(dir);
}

}  // namespace
