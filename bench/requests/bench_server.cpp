// The server both sides of the request and document benchmarks talk to: a
// small answer for GETs, an acknowledgement for uploads, photos of 2 MiB
// (/photo/N.png, any query), and the benchmark pages.
// A deep listen queue: the concurrent side opens 100 connections at once.
#define CPPHTTPLIB_LISTEN_BACKLOG 512
#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_server PAGES_DIR\n");
    return 1;
  }
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  // Connections kept open for up to 100 requests, and answers sent at once
  // (no Nagle delay on a kept connection), as common servers do.
  server.set_keep_alive_max_count(100);
  server.set_tcp_nodelay(true);
  server.set_mount_point("/", argv[1]);
  server.Get("/small", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  // Every photo holds the same bytes (none compress), whatever its number.
  static const std::string photo = [] {
    std::string bytes(2u << 20, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : bytes) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    return bytes;
  }();
  server.Get(R"(/photo/\d+\.png)", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(photo, "image/png");
  });
  server.Post("/upload", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.body.size()), "text/plain");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
}
