// The service: its web application for agents (/app/), the welcome page of
// the control's browser, the home page, and the error-report sink.
#include <algorithm>
#include <array>
#include <utility>

#include "Demo.h"
#include "Photos.h"

namespace demo {

namespace {

// The sample listing that the editor opens with.
constexpr std::pair<const char*, const char*> kSample[] = {
    {"title", "滨江花园 精装三居室 南北通透 近地铁"},
    {"district", "滨江区"},
    {"area", "118"},
    {"price", "465"},
    {"rooms", "3"},
    {"description",
     "小区绿化率高，环境安静。\n三室两厅两卫，南北通透，客厅连着大阳台。\n步行五分钟到地铁站，学校、医院、商场都在附近。"},
};

// The districts of the editor's select (the sites know the same ones).
constexpr const char* kDistricts[] = {"东城区", "西城区", "南湖区", "北苑区", "滨江区"};

// What the web application needs to know: the sites, the sample, the photos.
std::string ConfigJson(const Demo& demo) {
  std::string json = "{\"sites\":[";
  json += "{\"id\":\"a\",\"name\":" + JsonQuote(kSiteAName) + ",\"web\":" + JsonQuote(demo.siteAWeb.Origin()) +
          ",\"api\":" + JsonQuote(demo.siteAApi.Origin()) + "},";
  json += "{\"id\":\"b\",\"name\":" + JsonQuote(kSiteBName) + ",\"web\":" + JsonQuote(demo.siteB.Origin()) + "},";
  json += "{\"id\":\"c\",\"name\":" + JsonQuote(kSiteCName) + ",\"web\":" + JsonQuote(demo.siteC.Origin()) + "}";
  json += "],\"account\":{\"user\":" + JsonQuote(kUser) + ",\"password\":" + JsonQuote(kPassword) + "}";
  json += ",\"sample\":{";
  bool first = true;
  for (const auto& [name, value] : kSample) {
    json += (first ? "" : ",") + JsonQuote(name) + ":" + JsonQuote(value);
    first = false;
  }
  json += "},\"districts\":[";
  first = true;
  for (const char* d : kDistricts) {
    json += (first ? "" : ",") + JsonQuote(d);
    first = false;
  }
  json += "],\"photos\":[";
  first = true;
  for (const Photo& p : SamplePhotos()) {
    json += (first ? "" : ",") + JsonQuote(demo.service.Origin() + "/app/photos/" + p.name);
    first = false;
  }
  return json + "]}\n";
}

// An error report as text for a person: the control posts it in the code
// page, unescaped; shown as UTF-8 when it converts, byte for byte otherwise.
std::string ReportText(const std::string& raw) {
  auto text = GbkToUtf8(raw);
  return text ? *text : raw;
}

std::string ReportsPage(Demo& demo) {
  std::vector<std::string> reports;
  {
    std::lock_guard lock(demo.reportsMutex);
    reports = demo.reports;
  }
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>控件错误报告</title>\n"
      "<style>body{font-family:sans-serif;margin:24px}td,th{border:1px solid #ccd;padding:4px 8px;text-align:left;"
      "vertical-align:top;white-space:pre-wrap;word-break:break-all}table{border-collapse:collapse;margin-bottom:16px}"
      "</style></head><body>\n<h1>控件错误报告（" + std::to_string(reports.size()) + "）</h1>\n";
  if (reports.empty()) page += "<p>没有收到错误报告。</p>\n";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    page += "<h2>报告 " + std::to_string(i + 1) + "</h2>\n<table>\n";
    // The fields as the control wrote them: "&" between, "=" after each key.
    for (const auto& [name, value] : DecodeForm(ReportText(reports[i])))
      page += "<tr><th>" + HtmlEscape(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
    page += "</table>\n";
  }
  return page + "</body></html>\n";
}

// Whether a site holds the sample listing intact: one listing whose fields
// are the sample's (site B's also its ticked agreement) and, on site B, the
// three photos byte for byte, the cover first. A line for a person and a
// script: "SITE intact NUMBER", or "SITE differs: WHAT".
std::string VerifyLine(const std::string& site, const ListingBook& book, bool withPhotos) {
  Fields expected;
  for (const auto& [name, value] : kSample) expected.emplace_back(name, value);
  if (site == "b") expected.emplace_back("agree", "yes");
  std::sort(expected.begin(), expected.end());
  std::string difference = "no listing";
  for (const Listing& listing : book.All()) {
    Fields got = listing.fields;
    std::sort(got.begin(), got.end());
    if (got != expected) {
      for (const auto& [name, value] : expected)
        if (FieldOf(got, name) != value) {
          difference = "field " + name;
          break;
        }
      continue;
    }
    if (withPhotos) {
      const auto& sample = SamplePhotos();
      bool same = listing.photos.size() == sample.size();
      for (std::size_t k = 0; same && k < sample.size(); ++k)
        same = listing.photos[k].bytes == sample[k].png && listing.photos[k].field == (k == 0 ? "cover" : "photos");
      if (!same) {
        difference = "photos (" + std::to_string(listing.photos.size()) + " kept)";
        continue;
      }
    }
    return site + " intact " + listing.number;
  }
  return site + " differs: " + difference;
}

}  // namespace

void InstallService(Demo& demo, httplib::Server& server) {
  // The home page in both of its forms: navigating there closes the client.
  auto home = [](const httplib::Request&, httplib::Response& res) { ServeFile(res, "service/index.html"); };
  server.Get("/", home);
  server.Get("/index.html", home);
  server.Get("/ocx/welcome.html", [](const httplib::Request&, httplib::Response& res) {
    ServeFile(res, "service/welcome.html");
  });

  // The web application.
  server.Get("/app", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/app/"); });
  server.Get("/app/", [](const httplib::Request&, httplib::Response& res) { ServeFile(res, "service/app/index.html"); });
  server.Get(R"(/app/([a-z]+\.(js|css)))", [](const httplib::Request& req, httplib::Response& res) {
    ServeFile(res, "service/app/" + req.matches[1].str());
  });
  server.Get(R"(/app/photos/([a-z-]+\.png))", [](const httplib::Request& req, httplib::Response& res) {
    for (const Photo& p : SamplePhotos())
      if (p.name == req.matches[1]) return res.set_content(p.png, "image/png");
    res.status = 404;
  });
  server.Get("/api/config", [&demo](const httplib::Request&, httplib::Response& res) {
    res.set_content(ConfigJson(demo), "application/json; charset=utf-8");
  });
  server.Post("/api/login", [](const httplib::Request& req, httplib::Response& res) {
    Fields f = DecodeForm(req.body);
    bool ok = FieldOf(f, "user_name") == kUser && FieldOf(f, "user_psw") == kPassword;
    if (!ok) res.status = 403;
    res.set_content(ok ? "{\"ok\":true}" : "{\"ok\":false,\"message\":\"用户名或密码错误\"}",
                    "application/json; charset=utf-8");
  });

  // The error-report sink and its list.
  server.Post("/ocxErrorReport.html", [&demo](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(demo.reportsMutex);
      demo.reports.push_back(req.body);
    }
    res.set_content("ok", "text/plain");
  });
  server.Get("/ocxErrorReport.html", [&demo](const httplib::Request&, httplib::Response& res) {
    res.set_content(ReportsPage(demo), "text/html; charset=utf-8");
  });
  server.Get("/api/reports", [&demo](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(demo.reportsMutex);
    std::string json = "[";
    for (std::size_t i = 0; i < demo.reports.size(); ++i) json += (i ? "," : "") + JsonQuote(ReportText(demo.reports[i]));
    res.set_content(json + "]\n", "application/json; charset=utf-8");
  });

  // Whether each site answers: an automatic run retries a failed site once it is back.
  server.Get("/api/sites", [&demo](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");  // polled: never from a cache
    auto state = [](const Listener& l) { return l.Running() ? "\"running\"" : "\"stopped\""; };
    res.set_content(std::string("{\"a\":") + state(demo.siteAApi) + ",\"b\":" + state(demo.siteB) +
                        ",\"c\":" + state(demo.siteC) + "}\n",
                    "application/json");
  });
  // Site A's interface goes down, comes back, or answers its next post too late.
  server.Post("/admin/site-a", [&demo](const httplib::Request& req, httplib::Response& res) {
    const std::string state = req.get_param_value("state");
    bool ok = true;
    if (state == "stopped") {
      demo.siteAApi.Stop();
    } else if (state == "running") {
      demo.slowPostsA = 0;
      ok = demo.siteAApi.Start();
    } else if (state == "slow") {
      demo.slowPostsA = 1;
      ok = demo.siteAApi.Start();
    } else {
      ok = false;
    }
    if (!ok) res.status = 400;
    res.set_content(ok ? "ok" : "state must be stopped, running or slow", "text/plain");
  });
  // What each site holds, checked against the sample (see VerifyLine).
  server.Get("/api/verify", [&demo](const httplib::Request&, httplib::Response& res) {
    res.set_content(VerifyLine("a", demo.listingsA, false) + "\n" + VerifyLine("b", demo.listingsB, true) + "\n" +
                        VerifyLine("c", demo.listingsC, false) + "\n",
                    "text/plain; charset=utf-8");
  });
  // An automatic run holds its final view until released (for a screenshot).
  server.Post("/api/auto/release", [&demo](const httplib::Request&, httplib::Response& res) {
    demo.released = true;
    res.set_content("ok", "text/plain");
  });
  server.Get("/api/auto/released", [&demo](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");  // polled: never from a cache
    res.set_content(demo.released ? "1" : "0", "text/plain");
  });
}

}  // namespace demo
