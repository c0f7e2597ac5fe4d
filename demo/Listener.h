// One HTTP listener of the demo on one loopback address: its server runs on
// a thread of its own and can be stopped and started again on the same port
// (a site that goes down and comes back).
#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace demo {

class Listener {
 public:
  using Routes = std::function<void(httplib::Server&)>;

  // Port 0: a free port, chosen when it first starts and kept after.
  Listener(std::string host, int port, Routes routes);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and serves; false when the address cannot be bound.
  bool Start();
  // Closes the listening socket (connections are refused) and waits for the server's thread.
  void Stop();
  bool Running() const;

  int Port() const { return port_; }
  // "http://HOST:PORT"
  std::string Origin() const { return "http://" + host_ + ":" + std::to_string(port_); }

 private:
  std::string host_;
  int port_;
  Routes routes_;
  mutable std::mutex mutex_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

// Serves a file of the built-in pages with its content type, or answers 404.
void ServeFile(httplib::Response& res, const std::string& path);

// A page of the built-in pages with each "{{NAME}}" replaced.
std::string PageText(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& values = {});

// The built-in pages (web/ in the sources, compiled in).
const std::string* WebFile(const std::string& path);

}  // namespace demo
