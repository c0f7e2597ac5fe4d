// Site C: a script site. Its publish form is built by script once the page
// has loaded and is sent by the site's own function publishListing; a
// banner link into the site's phone app ("app:") sits on the way.
#include "Demo.h"

namespace demo {

namespace {

void Page(httplib::Response& res, const char* file, const std::vector<std::pair<std::string, std::string>>& values = {}) {
  res.set_content(PageText(file, values), "text/html; charset=utf-8");
}

void Publish(Demo& demo, const httplib::Request& req, httplib::Response& res) {
  Fields posted = DecodeForm(req.body);
  Fields listing;
  for (const char* name : {"title", "district", "area", "price", "rooms", "description"})
    listing.emplace_back(name, UnixLines(FieldOf(posted, name)));
  if (FieldOf(listing, "title").empty() || FieldOf(listing, "district").empty())
    return Page(res, "site-c/error.html", {{"MESSAGE", "标题和区域不能为空。"}});
  Page(res, "site-c/done.html", {{"NUMBER", demo.listingsC.Add(std::move(listing))}});
}

}  // namespace

void InstallSiteC(Demo& demo, httplib::Server& server) {
  server.Get("/", [](const httplib::Request&, httplib::Response& res) { Page(res, "site-c/index.html"); });
  server.Post("/publish", [&demo](const httplib::Request& req, httplib::Response& res) { Publish(demo, req, res); });
  InstallListings(server, demo.listingsC, kSiteCName);
}

}  // namespace demo
