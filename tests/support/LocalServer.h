// A real HTTP server on a free port of a loopback address, serving the
// handlers a test registers on `server` before Start(); stopped and joined
// when it goes.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace support {

class LocalServer {
 public:
  explicit LocalServer(std::string host = "127.0.0.1") : host_(std::move(host)) {}
  ~LocalServer() { Stop(); }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Binds a free port and serves on a thread of its own; returns once the
  // server answers. False when no port could be bound.
  bool Start() {
    port_ = server.bind_to_any_port(host_);
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
  void Stop() {
    if (!thread_.joinable()) return;
    server.stop();
    thread_.join();
  }

  int port() const { return port_; }
  // "http://HOST:PORT" followed by the path.
  std::string Url(std::string_view path) const {
    return "http://" + host_ + ":" + std::to_string(port_) + std::string(path);
  }

  httplib::Server server;

 private:
  std::string host_;
  int port_ = -1;
  std::thread thread_;
};

}  // namespace support
