#include "Demo.h"

namespace demo {

namespace {

int NextPort(int port) { return port == 0 ? 0 : port + 1; }

}  // namespace

Demo::Demo(int port)
    : service("127.0.0.1", port, [this](httplib::Server& s) { InstallService(*this, s); }),
      siteAWeb("127.0.0.2", port, [this](httplib::Server& s) { InstallSiteAWeb(*this, s); }),
      siteAApi("127.0.0.2", NextPort(port), [this](httplib::Server& s) { InstallSiteAApi(*this, s); }),
      siteB("127.0.0.3", port, [this](httplib::Server& s) { InstallSiteB(*this, s); }),
      siteC("127.0.0.4", port, [this](httplib::Server& s) { InstallSiteC(*this, s); }) {}

Demo::~Demo() { Stop(); }

bool Demo::Start(std::string* error) {
  struct Named {
    const char* name;
    Listener* listener;
  };
  const Named all[] = {{"the service on 127.0.0.1", &service},
                       {"site A on 127.0.0.2", &siteAWeb},
                       {"site A's interface on 127.0.0.2", &siteAApi},
                       {"site B on 127.0.0.3", &siteB},
                       {"site C on 127.0.0.4", &siteC}};
  for (const Named& n : all) {
    if (!n.listener->Start()) {
      *error = std::string("cannot listen for ") + n.name + " on port " + std::to_string(n.listener->Port());
      return false;
    }
  }
  return true;
}

void Demo::Stop() {
  {
    std::lock_guard lock(pauseMutex_);
    stopping_ = true;
  }
  pauseWake_.notify_all();
  for (Listener* l : {&service, &siteAWeb, &siteAApi, &siteB, &siteC}) l->Stop();
}

bool Demo::Pause(std::chrono::milliseconds time) {
  std::unique_lock lock(pauseMutex_);
  return !pauseWake_.wait_for(lock, time, [this] { return stopping_; });
}

void InstallListings(httplib::Server& server, const ListingBook& book, const std::string& siteName) {
  server.Get("/listings", [&book, siteName](const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("format") == "json") res.set_content(book.Json(), "application/json; charset=utf-8");
    else res.set_content(book.Html(siteName), "text/html; charset=utf-8");
  });
  server.Get(R"(/listings/(\d+)/photos/(\d+))", [&book](const httplib::Request& req, httplib::Response& res) {
    auto photo = book.PhotoOf(std::stoul(req.matches[1]), std::stoul(req.matches[2]));
    if (!photo) {
      res.status = 404;
      return;
    }
    res.set_content(photo->bytes, photo->contentType.empty() ? "application/octet-stream" : photo->contentType);
  });
}

}  // namespace demo
