// Site B: a form site. An agent logs in (a session cookie), opens the
// publish page from a link that opens a new window, fills a form made of
// frames (the description comes from site A's editor, framed from site A's
// address) and submits it past an alert, a confirm and an unload prompt.
// The answer page shows the listing's number.
#include "Demo.h"

namespace demo {

namespace {

constexpr char kSessionCookie[] = "bsid";

// The session's form token, or empty when the request has no live session.
std::string SessionToken(Demo& demo, const httplib::Request& req) {
  std::string session = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
  std::lock_guard lock(demo.sessionsBMutex);
  auto it = demo.sessionsB.find(session);
  return it == demo.sessionsB.end() ? std::string() : it->second;
}

void Page(httplib::Response& res, const char* file, const std::vector<std::pair<std::string, std::string>>& values = {}) {
  res.set_content(PageText(file, values), "text/html; charset=utf-8");
}

void ErrorPage(httplib::Response& res, const std::string& message) {
  Page(res, "site-b/error.html", {{"MESSAGE", HtmlEscape(message)}});
}

// A text field of a multipart form.
std::string PartOf(const httplib::Request& req, const char* name) {
  return req.has_file(name) ? req.get_file_value(name).content : std::string();
}

void Publish(Demo& demo, const httplib::Request& req, httplib::Response& res) {
  // 1. A session, and the token of its publish page.
  std::string token = SessionToken(demo, req);
  if (token.empty()) return ErrorPage(res, "登录已过期，请重新登录后发布。");
  if (!req.is_multipart_form_data() || PartOf(req, "token") != token)
    return ErrorPage(res, "发布页已失效，请刷新后重新填写。");
  // 2. The fields the site requires.
  Fields listing = {{"title", PartOf(req, "title")},    {"district", PartOf(req, "district")},
                    {"area", PartOf(req, "area")},      {"price", PartOf(req, "price")},
                    {"rooms", PartOf(req, "rooms")},    {"description", UnixLines(PartOf(req, "description"))},
                    {"agree", PartOf(req, "agree")}};
  if (FieldOf(listing, "title").empty()) return ErrorPage(res, "标题不能为空。");
  if (FieldOf(listing, "district").empty()) return ErrorPage(res, "请选择区域。");
  if (FieldOf(listing, "agree") != "yes") return ErrorPage(res, "请先同意《房源发布协议》。");
  // 3. The photos, byte for byte, in the order they came (empty file inputs send nothing worth keeping).
  std::vector<StoredPhoto> photos;
  for (const auto& [name, part] : req.files) {
    if ((name != "cover" && name != "photos") || part.content.empty()) continue;
    photos.push_back({name, part.filename, part.content_type, part.content});
  }
  // 4. Kept; the answer page shows its number.
  std::string number = demo.listingsB.Add(std::move(listing), std::move(photos));
  Page(res, "site-b/done.html", {{"NUMBER", number}});
}

}  // namespace

void InstallSiteB(Demo& demo, httplib::Server& server) {
  server.Get("/", [](const httplib::Request&, httplib::Response& res) { Page(res, "site-b/index.html"); });
  server.Get("/login", [](const httplib::Request&, httplib::Response& res) {
    Page(res, "site-b/login.html", {{"ERROR", ""}});
  });
  server.Post("/login", [&demo](const httplib::Request& req, httplib::Response& res) {
    Fields f = DecodeForm(req.body);
    if (FieldOf(f, "username") != kUser || FieldOf(f, "password") != kPassword)
      return Page(res, "site-b/login.html", {{"ERROR", "用户名或密码错误。"}});
    std::string session = RandomToken();
    {
      std::lock_guard lock(demo.sessionsBMutex);
      demo.sessionsB[session] = RandomToken();
    }
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session + "; Path=/; HttpOnly; SameSite=Lax");
    res.set_redirect("/member", 303);
  });
  server.Get("/member", [&demo](const httplib::Request& req, httplib::Response& res) {
    if (SessionToken(demo, req).empty()) return res.set_redirect("/login", 303);
    Page(res, "site-b/member.html", {{"USER", kUser}});
  });
  server.Get("/publish", [&demo](const httplib::Request& req, httplib::Response& res) {
    std::string token = SessionToken(demo, req);
    if (token.empty()) return res.set_redirect("/login", 303);
    Page(res, "site-b/publish.html", {{"TOKEN", token}, {"SITE_A", demo.siteAWeb.Origin()}});
  });
  server.Get("/publish/tips", [](const httplib::Request&, httplib::Response& res) { Page(res, "site-b/tips.html"); });
  server.Post("/publish", [&demo](const httplib::Request& req, httplib::Response& res) { Publish(demo, req, res); });
  InstallListings(server, demo.listingsB, kSiteBName);
}

}  // namespace demo
