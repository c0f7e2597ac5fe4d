// The control's browser on a real Chromium against pages of a real local
// server. The server answers on 127.0.0.1; the same pages reached as
// "localhost" belong to another site, so their frames run out of process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/automation/HtmlCtrl.h"
#include "control/automation/enumIE.h"
#include "engine/cdp/CdpBrowser.h"
#include "tests/support/LocalServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Serves the test pages and remembers every request.
class Site {
 public:
  Site() {
    server_.Get("/top.html", [this](const httplib::Request& q, httplib::Response& r) {
      std::string c = q.get_param_value("c");
      r.set_content(FramePage("top", c) + "<a id='top' target='_top' href='/second.html'>t</a>"
                        "<a id='app' href='app:open?x=1'>app</a>"
                        "<iframe src='/same.html?c=" + c + "'></iframe>"
                        "<iframe src='http://localhost:" + std::to_string(local_.port()) + "/cross.html?c=" + c +
                        "'></iframe></body></html>",
                    "text/html");
    });
    server_.Get("/same.html", [](const httplib::Request& q, httplib::Response& r) {
      r.set_content(FramePage("same", q.get_param_value("c")) + "</body></html>", "text/html");
    });
    // Another site's frame, holding a frame of the first site again.
    server_.Get("/cross.html", [this](const httplib::Request& q, httplib::Response& r) {
      r.set_content(FramePage("cross", q.get_param_value("c")) + "<iframe src='http://127.0.0.1:" +
                        std::to_string(local_.port()) + "/nested.html?c=" + q.get_param_value("c") +
                        "'></iframe></body></html>",
                    "text/html");
    });
    server_.Get("/nested.html", [](const httplib::Request& q, httplib::Response& r) {
      r.set_content(FramePage("nested", q.get_param_value("c")) + "</body></html>", "text/html");
    });
    server_.Get("/second.html", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("<html><body><script>var page = 'second';</script>second</body></html>", "text/html");
    });
    server_.Get("/img.png", [](const httplib::Request&, httplib::Response& r) {
      static const char png[] = "\x89PNG\r\n\x1a\n";
      r.set_content(std::string(png, sizeof png - 1), "image/png");
    });
    server_.set_logger([this](const httplib::Request& q, const httplib::Response&) {
      std::lock_guard lock(mutex_);
      requests_.push_back(q.path + "?c=" + q.get_param_value("c"));
    });
    local_.Start();
  }
  std::string Url(const std::string& path) const { return local_.Url(path); }
  int Count(const std::string& request) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& r : requests_) n += r == request;
    return n;
  }

 private:
  // A page that opens every kind of dialog while it loads (unless its case
  // starts with "no-dialogs"), with an image, a "_blank" link and a function for
  // callScript.
  static std::string FramePage(const std::string& name, const std::string& c) {
    std::string dialogs = c.rfind("no-dialogs", 0) == 0 ? "" : "alert('" + name + "'); var confirmed = confirm('q'); prompt('p');";
    return "<html><body><script>" + dialogs +
           "var who = '" + name + "'; function mark(a, b) { window.marked = who + a + b; }</script>"
           "<img src='/img.png?c=" + c + "'>"
           "<a id='blank' target='_BlAnK' href='/second.html'>b</a>";
  }

  std::mutex mutex_;
  std::vector<std::string> requests_;
  // Last, so that it stops before what its handlers use goes.
  support::LocalServer local_;
  httplib::Server& server_ = local_.server;
};

bool RunUntil(const std::function<bool()>& done, int ms = 10000) { return loop::DefaultLoop().RunUntil(done, ms); }
void Pump(int ms) { loop::DefaultLoop().RunUntil([] { return false; }, ms); }

// A document and those of all its frames, frames first.
void CollectDocuments(engine::Document* document, std::vector<com::ComPtr<engine::Document>>& out) {
  com::ComPtr<engine::FramesCollection> frames;
  std::int32_t n = 0;
  if (com::Succeeded(document->get_frames(frames.Put())) && frames && com::Succeeded(frames->get_length(&n))) {
    for (std::int32_t i = 0; i < n; ++i) {
      com::ComPtr<com::IUnknown> item;
      if (com::Failed(frames->item(i, item.Put()))) continue;
      auto window = engine::Query<engine::Window>(item.Get(), engine::IID_Window);
      if (!window) continue;
      if (auto child = windowDocument(window.Get())) CollectDocuments(child.Get(), out);
    }
  }
  document->AddRef();
  out.push_back(com::ComPtr<engine::Document>::Adopt(document));
}

std::string Eval(engine::Document* document, const std::string& code) {
  com::ComPtr<engine::Window> window;
  if (com::Failed(document->get_parentWindow(window.Put())) || !window) return "<no window>";
  com::Variant result;
  if (com::Failed(window->execScript(code, "JavaScript", &result))) return "<failed>";
  return com::VariantToText(result);
}

struct Recorder final : engine::BrowserEvents {
  std::vector<std::string> log;  // "kind top|frame url"
  bool BeforeNavigate2(std::string_view url, bool top) override {
    log.push_back("before " + std::string(top ? "top " : "frame ") + std::string(url));
    return true;
  }
  void NavigateComplete2(std::string_view url, bool top) override {
    log.push_back("navigated " + std::string(top ? "top " : "frame ") + std::string(url));
  }
  void DocumentComplete(std::string_view url, bool top) override {
    log.push_back("complete " + std::string(top ? "top " : "frame ") + std::string(url));
  }
  void NavigateError(std::string_view url, bool top, std::int32_t) override {
    log.push_back("error " + std::string(top ? "top " : "frame ") + std::string(url));
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};

class HtmlCtrlTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The control's browsers are Chromium, as the module installs them.
    engine::InstallBrowserMaker(&engine::MakeChromiumBrowser);
    site_ = new Site();
    // Keeps the one browser process of this test program running between tests.
    keeper_ = cdp::CreatePageBrowser(loop::DefaultLoop()).Detach();
  }
  static void TearDownTestSuite() {
    keeper_->Release();
    delete site_;
  }
  static Site* site_;
  static cdp::PageBrowser* keeper_;
};
Site* HtmlCtrlTest::site_ = nullptr;
cdp::PageBrowser* HtmlCtrlTest::keeper_ = nullptr;

// The engine on its own: events, frames of every kind, script, cookies,
// ready state and history. Its pages open no dialogs, so it runs a second
// time with other sites' frames in processes of their own.
TEST_F(HtmlCtrlTest, EngineEventsFramesScriptCookiesAndHistory) {
  auto browser = cdp::CreatePageBrowser(loop::DefaultLoop());
  Recorder events;
  browser->Advise(&events);
  browser->SetViewSize(800, 600);

  auto t0 = Clock::now();
  ASSERT_EQ(browser->Navigate(site_->Url("/top.html?c=no-dialogs-engine")), com::S_OK);
  auto tLaunched = Clock::now();
  ASSERT_TRUE(RunUntil([&] { return events.Count("complete top") > 0; })) << testing::PrintToString(events.log);
  auto tLoaded = Clock::now();
  Pump(300);
  // One completion for the top-level load, frames' own ones beside it.
  EXPECT_EQ(events.Count("complete top"), 1);
  EXPECT_GE(events.Count("complete frame"), 3);
  EXPECT_GE(events.Count("navigated top " + site_->Url("/top.html?c=no-dialogs-engine")), 1);
  EXPECT_GE(events.Count("navigated frame"), 3) << testing::PrintToString(events.log);

  com::ComPtr<engine::Document> top;
  ASSERT_EQ(browser->get_Document(top.Put()), com::S_OK);
  ASSERT_TRUE(top);
  std::int32_t state = -1;
  browser->get_ReadyState(&state);
  EXPECT_EQ(state, engine::READYSTATE_COMPLETE);

  // Every frame reached, the other site's one through its browser: its
  // window does not hand the document out.
  std::vector<com::ComPtr<engine::Document>> docs;
  CollectDocuments(top.Get(), docs);
  std::vector<std::string> names;
  for (auto& d : docs) names.push_back(Eval(d.Get(), "who"));
  EXPECT_EQ(names, (std::vector<std::string>{"same", "nested", "cross", "top"}));
  {
    com::ComPtr<engine::FramesCollection> frames;
    ASSERT_EQ(top->get_frames(frames.Put()), com::S_OK);
    com::ComPtr<com::IUnknown> item;
    ASSERT_EQ(frames->item(1, item.Put()), com::S_OK);
    auto window = engine::Query<engine::Window>(item.Get(), engine::IID_Window);
    ASSERT_TRUE(window);
    com::ComPtr<engine::Document> refused;
    EXPECT_EQ(window->get_document(refused.Put()), engine::E_ACCESSDENIED);
    EXPECT_EQ(frames->item(7, item.Put()), com::E_INVALIDARG);
  }

  // callScript reaches every frame, the other sites' ones included.
  enumIE worker;
  worker.callScript("mark", {"-a", "-b"}, top.Get());
  EXPECT_EQ(worker.nScriptStatus, 0);
  for (auto& d : docs) EXPECT_EQ(Eval(d.Get(), "window.marked"), Eval(d.Get(), "who") + "-a-b");
  worker.callScript("noSuchFunction", {}, top.Get());
  EXPECT_EQ(worker.nScriptStatus, SCRIPT_NO_FUNCTION);

  // Collections and elements as remote handles.
  com::ComPtr<engine::ElementCollection> links;
  ASSERT_EQ(top->get_links(links.Put()), com::S_OK);
  std::int32_t n = 0;
  links->get_length(&n);
  EXPECT_EQ(n, 3);
  com::ComPtr<com::IUnknown> link;
  ASSERT_EQ(links->item(com::Variant(std::string("top")), com::Variant(0), link.Put()), com::S_OK);
  auto anchor = engine::Query<engine::Anchor>(link.Get(), engine::IID_Anchor);
  ASSERT_TRUE(anchor);
  std::string target;
  anchor->get_target(&target);
  EXPECT_EQ(target, "_top");
  EXPECT_FALSE(engine::Query<engine::Form>(link.Get(), engine::IID_Form));

  // Sources of the page and of another site's frame, as the server sent them.
  for (auto& d : docs) {
    std::vector<std::uint8_t> source;
    ASSERT_EQ(d->Save(&source), com::S_OK);
    std::string text(source.begin(), source.end());
    EXPECT_NE(text.find("var who = '" + Eval(d.Get(), "who") + "'"), std::string::npos) << text;
  }

  // An "app:" link is offered to BeforeNavigate2 (the browser itself does not load it).
  ASSERT_EQ(links->item(com::Variant(std::string("app")), com::Variant(0), link.Put()), com::S_OK);
  auto appLink = engine::Query<engine::Element>(link.Get(), engine::IID_Element);
  ASSERT_TRUE(appLink);
  EXPECT_EQ(appLink->click(), com::S_OK);
  EXPECT_TRUE(RunUntil([&] { return events.Count("before top app:open?x=1") == 1; }, 3000))
      << testing::PrintToString(events.log);

  // Round trip of one call on a remote object.
  auto tCalls = Clock::now();
  constexpr int kCalls = 200;
  for (int i = 0; i < kCalls; ++i) anchor->get_target(&target);
  auto perCall = (Clock::now() - tCalls) / kCalls;

  // Cookies: set and read; a malformed one is taken without complaint.
  EXPECT_EQ(top->put_cookie("flavour=plain; path=/"), com::S_OK);
  EXPECT_EQ(top->put_cookie(";;=;"), com::S_OK);
  std::string cookie;
  top->get_cookie(&cookie);
  EXPECT_NE(cookie.find("flavour=plain"), std::string::npos) << cookie;

  // History moves end in a completed load; no history before the first page.
  auto loadOf = [&](const std::function<com::HRESULT()>& move, const std::string& url) {
    int before = events.Count("complete top");
    EXPECT_EQ(move(), com::S_OK);
    EXPECT_TRUE(RunUntil([&] { return events.Count("complete top") > before; })) << url << testing::PrintToString(events.log);
    std::string now;
    browser->get_LocationURL(&now);
    EXPECT_EQ(now, url);
  };
  loadOf([&] { return browser->Navigate(site_->Url("/second.html")); }, site_->Url("/second.html"));
  loadOf([&] { return browser->GoBack(); }, site_->Url("/top.html?c=no-dialogs-engine"));
  EXPECT_EQ(browser->GoBack(), com::E_FAIL);
  loadOf([&] { return browser->GoForward(); }, site_->Url("/second.html"));
  EXPECT_EQ(browser->GoForward(), com::E_FAIL);
  loadOf([&] { return browser->Refresh(); }, site_->Url("/second.html"));

  // A refused address is reported and its error page becomes the document.
  browser->Navigate("http://127.0.0.1:1/");
  EXPECT_TRUE(RunUntil([&] { return events.Count("error top") > 0; }));

  std::printf("[timing] first navigation (launch + page target): %.1f ms; navigate to load: %.1f ms; "
              "callFunctionOn round trip: %.3f ms\n",
              Ms(tLaunched - t0), Ms(tLoaded - tLaunched), Ms(perCall));
  browser->Advise(nullptr);
}

// What the control's browser does to every page, with the switches off and on.
TEST_F(HtmlCtrlTest, PagesAreRewrittenAndDialogsNeverBlock) {
  struct Case {
    const char* c;
    std::int32_t alertSwitch;
    std::int16_t isByUser;
    const char* nativeAlert;  // what String(alert) tells in every document
    int images;               // image requests of the top page and its frames
  } cases[] = {
      {"quiet", 0, 0, "false", 0},
      {"own", 1, 1, "true", 4},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.c);
    CHtmlCtrl ctrl;
    ctrl.alertSwitch = k.alertSwitch;
    ctrl.isByUser = k.isByUser;
    ASSERT_TRUE(ctrl.Create(0, 0, 0, 640, 480));
    ctrl.Navigate(site_->Url(std::string("/top.html?c=") + k.c));
    // Load-time alerts, confirms and prompts in every frame never hold the load.
    ASSERT_TRUE(RunUntil([&] { return ctrl.pageLoaded->load() == 1; }));
    auto top = ctrl.GetDocument();
    ASSERT_TRUE(top);
    std::vector<com::ComPtr<engine::Document>> docs;
    CollectDocuments(top.Get(), docs);
    ASSERT_EQ(docs.size(), 4u);
    for (auto& d : docs) {
      SCOPED_TRACE(Eval(d.Get(), "who"));
      EXPECT_EQ(Eval(d.Get(), "String(alert).includes('native code')"), k.nativeAlert);
      EXPECT_EQ(Eval(d.Get(), "String(confirm('x'))"), "true");
      EXPECT_EQ(Eval(d.Get(), "confirmed"), "true");
      EXPECT_EQ(Eval(d.Get(), "typeof window.onbeforeunload"), "function");
      // "_blank" in any case became "_self", in frames too.
      EXPECT_EQ(Eval(d.Get(), "document.getElementById('blank').target"), "_self");
    }
    EXPECT_EQ(Eval(top.Get(), "document.getElementById('top').target"), "_top");
    int images = 0;
    for (const char* f : {"/img.png?c="}) images += site_->Count(f + std::string(k.c));
    EXPECT_EQ(images, k.images);
    EXPECT_GE(site_->Count(std::string("/nested.html?c=") + k.c), 1);

    // An "app:" link does not navigate.
    ctrl.pageLoaded->store(0);
    std::string before = ctrl.LocationURL();
    Eval(top.Get(), "document.getElementById('app').click()");
    Pump(500);
    EXPECT_EQ(ctrl.LocationURL(), before);
    EXPECT_EQ(ctrl.pageLoaded->load(), 0);
    EXPECT_EQ(Eval(top.Get(), "who"), "top");
  }
}

// Chromium killed in the middle of a session: noticed at once, and the next
// navigation starts a new browser.
TEST_F(HtmlCtrlTest, KilledBrowserIsReplacedByTheNextNavigation) {
  CHtmlCtrl ctrl;
  ASSERT_TRUE(ctrl.Create(0, 0, 0, 640, 480));
  EXPECT_FALSE(ctrl.GetDocument());
  ctrl.Navigate(site_->Url("/second.html"));
  ASSERT_TRUE(RunUntil([&] { return ctrl.pageLoaded->load() == 1; }));
  ASSERT_TRUE(ctrl.GetDocument());
  auto* page = static_cast<cdp::PageBrowser*>(ctrl.GetBrowser().Get());
  pid_t pid = page->BrowserProcessId();
  ASSERT_GT(pid, 0);
  auto held = ctrl.GetDocument();

  // Noticed without a navigation; the bound only catches a browser whose
  // end is never noticed.
  ::kill(pid, SIGKILL);
  auto t0 = Clock::now();
  ASSERT_TRUE(RunUntil([&] { return !ctrl.GetDocument(); }, 10000));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(ctrl.LocationURL(), "");
  std::string cookie = "unchanged";
  EXPECT_NE(held->get_cookie(&cookie), com::S_OK);  // a handle of the dead browser fails at once
  std::int32_t state = -1;
  ctrl.GetBrowser()->get_ReadyState(&state);
  EXPECT_EQ(state, engine::READYSTATE_UNINITIALIZED);

  ctrl.pageLoaded->store(0);
  ctrl.Navigate(site_->Url("/top.html?c=again"));
  ASSERT_TRUE(RunUntil([&] { return ctrl.pageLoaded->load() == 1; }));
  EXPECT_NE(page->BrowserProcessId(), pid);
  auto doc = ctrl.GetDocument();
  ASSERT_TRUE(doc);
  EXPECT_EQ(Eval(doc.Get(), "who"), "top");
}

}  // namespace
