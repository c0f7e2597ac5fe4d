#include "Listener.h"

#include <sys/socket.h>

namespace demo {

Listener::Listener(std::string host, int port, Routes routes)
    : host_(std::move(host)), port_(port), routes_(std::move(routes)) {}

Listener::~Listener() { Stop(); }

bool Listener::Start() {
  std::lock_guard lock(mutex_);
  if (server_) return true;
  auto server = std::make_unique<httplib::Server>();
  // Plain SO_REUSEADDR: the port comes back at once after a stop, and a
  // port that another program holds is refused (no shared SO_REUSEPORT).
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  routes_(*server);
  if (port_ == 0) {
    int port = server->bind_to_any_port(host_);
    if (port <= 0) return false;
    port_ = port;
  } else if (!server->bind_to_port(host_, port_)) {
    return false;
  }
  httplib::Server* raw = server.get();
  server_ = std::move(server);
  thread_ = std::thread([raw] { raw->listen_after_bind(); });
  return true;
}

void Listener::Stop() {
  std::lock_guard lock(mutex_);
  if (!server_) return;
  // A server stopped before its thread has begun to listen would listen on
  // regardless: let it begin first.
  for (int i = 0; i < 500 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server_->stop();
  thread_.join();
  server_.reset();
}

bool Listener::Running() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(server_);
}

namespace {

const char* ContentType(const std::string& path) {
  auto ends = [&](const char* ext) {
    std::string e(ext);
    return path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

void ServeFile(httplib::Response& res, const std::string& path) {
  const std::string* file = WebFile(path);
  if (!file) {
    res.status = 404;
    res.set_content("not found", "text/plain");
    return;
  }
  res.set_content(*file, ContentType(path));
}

std::string PageText(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values) {
  const std::string* file = WebFile(path);
  if (!file) return {};
  std::string text = *file;
  for (const auto& [name, value] : values) {
    const std::string key = "{{" + name + "}}";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
      text.replace(at, key.size(), value);
  }
  return text;
}

}  // namespace demo
