// What the hosted tests of this folder serve on their local server: the
// pages, the hosting page the test writes, and /rec, where the hosting page
// and the control's pages post each line they report.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>

namespace e2e {

inline void ServeHostedPages(httplib::Server& server, const std::string* hostPage,
                             std::function<void(const std::string&)> record) {
  server.set_mount_point("/", VELMORA_E2E_PAGES);
  server.Get("/host.html", [hostPage](const httplib::Request&, httplib::Response& res) {
    res.set_content(*hostPage, "text/html; charset=utf-8");
  });
  server.Post("/rec", [record = std::move(record)](const httplib::Request& req, httplib::Response& res) {
    record(req.body);
    res.set_content("ok", "text/plain");
  });
}

}  // namespace e2e
