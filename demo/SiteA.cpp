// Site A: an HTTP site in the GBK code page. Agents' software logs in and
// posts listings to its interface (127.0.0.2, its own port); its pages
// (home, the description widget that site B frames, its listings) are
// served apart, so that the interface can go down on its own.
#include <algorithm>
#include <cctype>

#include "Demo.h"

namespace demo {

namespace {

// The fields a listing carries, in the order the site keeps them.
constexpr const char* kFields[] = {"title", "district", "area", "price", "rooms", "description"};

// How long a slow post keeps the agent waiting.
constexpr std::chrono::seconds kSlowAnswer{8};

void SetGbk(httplib::Response& res, const std::string& utf8, const char* type) {
  auto gbk = Utf8ToGbk(utf8);
  res.set_content(gbk ? *gbk : utf8, std::string(type) + "; charset=GBK");
}

// The interface answers in form encoding (unescaped, GBK): result=ok&number=...&msg=...
void Answer(httplib::Response& res, const std::string& utf8) { SetGbk(res, utf8, "text/plain"); }

bool HasUtf8Charset(std::string contentType) {
  std::transform(contentType.begin(), contentType.end(), contentType.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return contentType.find("charset=utf-8") != std::string::npos;
}

void Login(Demo& demo, const httplib::Request& req, httplib::Response& res) {
  if (req.get_param_value("user") != kUser || req.get_param_value("pwd") != kPassword)
    return Answer(res, "result=error&msg=用户名或密码错误");
  std::string session = RandomToken();
  {
    std::lock_guard lock(demo.sessionsAMutex);
    demo.sessionsA.insert(session);
  }
  res.set_header("Set-Cookie", "asid=" + session + "; Path=/; HttpOnly");
  Answer(res, "result=ok&msg=登录成功");
}

void Post(Demo& demo, const httplib::Request& req, httplib::Response& res) {
  // 1. A session of this site.
  std::string session = CookieValue(req.get_header_value("Cookie"), "asid");
  {
    std::lock_guard lock(demo.sessionsAMutex);
    if (session.empty() || !demo.sessionsA.count(session)) return Answer(res, "result=error&msg=未登录或登录已过期");
  }
  // 2. Posted from the site's own publishing page.
  const std::string page = demo.siteAWeb.Origin() + "/";
  if (req.get_header_value("Referer").rfind(page, 0) != 0) return Answer(res, "result=error&msg=请从本站发布页提交");
  // 3. The fields, in GBK unless the body says it is UTF-8.
  const bool utf8 = HasUtf8Charset(req.get_header_value("Content-Type"));
  Fields posted = DecodeForm(req.body);
  Fields listing;
  for (const char* name : kFields) {
    std::string value = FieldOf(posted, name);
    auto text = utf8 ? std::optional<std::string>(value) : GbkToUtf8(value);
    if (!text) return Answer(res, "result=error&msg=文字编码错误：" + std::string(name));
    listing.emplace_back(name, *text);
  }
  if (listing[0].second.empty()) return Answer(res, "result=error&msg=标题不能为空");
  // 4. A slow post answers after the agent's time-out.
  int slow = demo.slowPostsA.load();
  while (slow > 0 && !demo.slowPostsA.compare_exchange_weak(slow, slow - 1)) {
  }
  if (slow > 0 && !demo.Pause(kSlowAnswer)) return;
  // 5. Kept; its number goes back.
  std::string number = demo.listingsA.Add(std::move(listing));
  Answer(res, "result=ok&number=" + number + "&msg=发布成功");
}

}  // namespace

void InstallSiteAApi(Demo& demo, httplib::Server& server) {
  server.Get("/login", [&demo](const httplib::Request& req, httplib::Response& res) { Login(demo, req, res); });
  server.Post("/post", [&demo](const httplib::Request& req, httplib::Response& res) { Post(demo, req, res); });
}

void InstallSiteAWeb(Demo& demo, httplib::Server& server) {
  auto page = [&demo](const char* file) {
    return [&demo, file](const httplib::Request&, httplib::Response& res) {
      SetGbk(res,
             PageText(file, {{"API", demo.siteAApi.Origin()}, {"SITE_B", demo.siteB.Origin()}, {"NAME", kSiteAName}}),
             "text/html");
    };
  };
  server.Get("/", page("site-a/index.html"));
  server.Get("/post.html", page("site-a/post.html"));
  server.Get("/widget/description", page("site-a/widget.html"));
  InstallListings(server, demo.listingsA, kSiteAName);
}

}  // namespace demo
