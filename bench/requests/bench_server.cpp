// The server both sides of the request benchmark talk to: a small answer
// for GETs, an acknowledgement for uploads, and the benchmark page.
// A deep listen queue: the concurrent side opens 100 connections at once.
#define CPPHTTPLIB_LISTEN_BACKLOG 512
#include <httplib.h>

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
  server.Post("/upload", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.body.size()), "text/plain");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
}
