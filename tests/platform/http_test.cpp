#include "platform/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/LocalServer.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// --- servers ------------------------------------------------------------------

int ListenLocal(int backlog, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, backlog);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads one request: the head up to the empty line, then a body of its Content-Length.
std::string ReadRequest(int fd) {
  std::string in;
  char buf[65536];
  std::size_t want = std::string::npos;
  for (;;) {
    auto head = in.find("\r\n\r\n");
    if (head != std::string::npos && want == std::string::npos) {
      want = head + 4;
      auto cl = in.find("Content-Length: ");
      if (cl != std::string::npos && cl < head) want += std::strtoul(in.c_str() + cl + 16, nullptr, 10);
    }
    if (want != std::string::npos && in.size() >= want) return in;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return in;
    in.append(buf, static_cast<std::size_t>(n));
  }
}

// A server on a raw socket: each accepted connection is handed to the
// handler on the server's thread, one at a time. Handlers that stall call
// Stall(), which returns when the server is being torn down.
class RawServer {
 public:
  using Handler = std::function<void(RawServer&, int fd)>;
  explicit RawServer(Handler handler, int backlog = 16) : handler_(std::move(handler)) {
    listenFd_ = ListenLocal(backlog, &port_);
    if (pipe(wake_) != 0) std::abort();
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    close(listenFd_);
    close(wake_[0]);
    close(wake_[1]);
  }
  int port() const { return port_; }
  std::string Url(std::string_view path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }
  // Blocks until teardown, or for at most `for` when given.
  void Stall(std::chrono::milliseconds upTo = std::chrono::hours(1)) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, upTo, [this] { return stop_; });
  }
  std::string Captured() {
    std::lock_guard lock(mutex_);
    return captured_;
  }
  void Capture(std::string s) {
    std::lock_guard lock(mutex_);
    captured_ = std::move(s);
  }

 private:
  void Serve() {
    for (;;) {
      pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents) return;
      int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      handler_(*this, fd);
      close(fd);
    }
  }
  Handler handler_;
  int listenFd_ = -1, port_ = 0;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::string captured_;
  std::thread thread_;
};

// An HTTP server on its own thread, for the answers a real server gives;
// the tests add their handlers while it runs.
class HttpServer : public support::LocalServer {
 public:
  HttpServer() {
    // Stopping waits for the connections the client keeps open for further
    // requests: not for long.
    server.set_keep_alive_timeout(1);
    Start();
  }
};

// --- the worker's sequence ------------------------------------------------------

struct Call {
  std::string url;
  std::string verb = "GET";
  std::vector<std::pair<std::string, http::AddMode>> headers;
  std::string body;
  bool follow = true;
  int connectMs = 3000, sendMs = 3000, receiveMs = 3000;
};

struct Outcome {
  int code = -1;  // the completion code of the step that failed, 0 when a response came
  http::Error error = http::Error::None;
  int status = 0;
  std::string headers;
  std::string body;
  std::size_t chunks = 0;
  http::Error readError = http::Error::None;  // when reading the body stopped on a failure
};

// The steps a request worker makes, each failure mapped to its completion code.
Outcome Perform(const Call& c) {
  Outcome o;
  auto fail = [&](int code) {
    o.code = code;
    o.error = http::LastError();
    return o;
  };
  auto url = http::SplitUrl(c.url);
  if (!url) return fail(1);
  auto session = http::Session::Open();
  if (!session) return fail(1);
  session->SetConnectTimeout(c.connectMs);
  auto connection = http::Connection::Open(*session, url->host, url->port, url->scheme);
  if (!connection) return fail(1);
  auto request = http::Request::Open(*connection, c.verb, url->object);
  if (!request) return fail(2);
  request->SetFollowRedirects(c.follow);
  for (const auto& [line, mode] : c.headers)
    if (!request->AddHeaders(line, mode)) return fail(3);
  request->SetSendTimeout(c.sendMs);
  bool sent = request->Send(c.body);
  request->SetReceiveTimeout(c.receiveMs);
  if (!sent) return fail(4);
  if (!request->ReceiveResponse()) return fail(5);
  o.code = 0;
  o.status = request->StatusCode().value_or(-1);
  o.headers = request->RawHeaders().value_or("?");
  for (;;) {
    auto n = request->QueryDataAvailable();
    if (!n) {
      o.readError = http::LastError();
      break;
    }
    if (*n == 0) break;
    std::vector<char> buf(*n);
    auto got = request->ReadData(buf);
    if (!got) {
      o.readError = http::LastError();
      break;
    }
    o.body.append(buf.data(), *got);
    ++o.chunks;
  }
  return o;
}

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131) % 251);  // holds NULs
  return s;
}

// The header lines of a captured request, without the request line.
std::vector<std::string> HeaderLines(const std::string& request) {
  std::vector<std::string> lines;
  std::size_t at = request.find("\r\n") + 2;
  for (;;) {
    auto eol = request.find("\r\n", at);
    if (eol == std::string::npos || eol == at) break;
    lines.push_back(request.substr(at, eol - at));
    at = eol + 2;
  }
  return lines;
}

// --- splitting addresses ----------------------------------------------------------

TEST(HttpUrl, SplitsSchemeHostPortAndObject) {
  struct Case {
    const char* address;
    http::Scheme scheme;
    const char* host;
    int port;
    const char* object;
  } cases[] = {
      {"http://example.com/a/b?x=1&y=2#top", http::Scheme::Http, "example.com", 80, "/a/b?x=1&y=2"},
      {"https://Example.com:8443", http::Scheme::Https, "Example.com", 8443, "/"},
      {"HTTPS://h.test?q=1", http::Scheme::Https, "h.test", 443, "/?q=1"},
      {"http://user:pw@h.test:81/p", http::Scheme::Http, "h.test", 81, "/p"},
      {"http://[::1]:8080/x", http::Scheme::Http, "::1", 8080, "/x"},
      {" http://h.test/a b\x01\xC3\xA9\"<>", http::Scheme::Http, "h.test", 80, "/a%20b%01%C3%A9%22%3C%3E"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    auto u = http::SplitUrl(c.address);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme, c.scheme);
    EXPECT_EQ(u->host, c.host);
    EXPECT_EQ(u->port, c.port);
    EXPECT_EQ(u->object, c.object);
  }
  for (const char* bad : {"example.com/x", "127.0.0.1:80/x", "//h/x", "ftp://h/", "http://", "http://:80/",
                          "http://h:0/", "http://h:65536/", "http://h:8a/", "http://[::1/", "http://a b/"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(http::SplitUrl(bad));
  }
}

TEST(HttpSteps, RefusesBadHostVerbObjectAndHeaderLines) {
  auto session = http::Session::Open();
  ASSERT_TRUE(session);
  for (auto [host, port] : {std::pair{"", 80}, {"a b", 80}, {"h", 0}, {"h", 65536}}) {
    EXPECT_FALSE(http::Connection::Open(*session, host, port, http::Scheme::Http)) << host << ":" << port;
    EXPECT_EQ(http::LastError(), http::Error::InvalidParameter);
  }
  auto connection = http::Connection::Open(*session, "127.0.0.1", 9, http::Scheme::Http);
  ASSERT_TRUE(connection);
  for (auto [verb, object] : {std::pair{"GE T", "/"}, {"", "/"}, {"GET", "nopath"}, {"GET", "/a b"}}) {
    EXPECT_FALSE(http::Request::Open(*connection, verb, object)) << verb << " " << object;
    EXPECT_EQ(http::LastError(), http::Error::InvalidParameter);
  }

  struct Case {
    const char* text;
    bool accepted;
    http::Error error;
  } cases[] = {
      {"X-A: 1", true, {}},
      {"Content-Type: application/x-www-form-urlencoded \r\n", true, {}},
      {"X-B: 1\r\nX-C: 2\r\n", true, {}},
      {"X-Empty:", true, {}},
      {"NoColon", false, http::Error::InvalidHeader},
      {": value", false, http::Error::InvalidHeader},
      {"Bad Name: v", false, http::Error::InvalidHeader},
      {"X-D: a\x01z", false, http::Error::InvalidHeader},
      {"X-E: 1\r\nbroken\r\n", false, http::Error::InvalidHeader},
      {"", false, http::Error::InvalidParameter},
      {"\r\n", false, http::Error::InvalidParameter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto request = http::Request::Open(*connection, "GET", "/");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->AddHeaders(c.text, http::AddMode::Add), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(http::LastError(), c.error);
    }
  }

  // "Add if new" goes by the name, in any case; "add" lets a name repeat.
  auto request = http::Request::Open(*connection, "POST", "/");
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->AddHeaders("content-type: text/xml", http::AddMode::Add));
  EXPECT_FALSE(request->AddHeaders("Content-Type: application/x-www-form-urlencoded \r\n", http::AddMode::AddIfNew));
  EXPECT_EQ(http::LastError(), http::Error::HeaderAlreadyExists);
  EXPECT_TRUE(request->AddHeaders("Content-Type: text/plain", http::AddMode::Add));
  EXPECT_TRUE(request->AddHeaders("X-New: 1", http::AddMode::AddIfNew));

  // Steps out of order are refused.
  EXPECT_FALSE(request->ReceiveResponse());
  EXPECT_EQ(http::LastError(), http::Error::IncorrectHandleState);
  EXPECT_FALSE(request->StatusCode());
  EXPECT_FALSE(request->QueryDataAvailable());
}

// --- what goes on the wire ----------------------------------------------------------

// Records each request and answers 204.
RawServer::Handler CaptureAnd204() {
  return [](RawServer& s, int fd) {
    s.Capture(ReadRequest(fd));
    WriteAll(fd, "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
  };
}

TEST(HttpWire, SendsOnlyTheHeadersAskedFor) {
  RawServer server(CaptureAnd204());
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
  using V = std::vector<std::string>;
  const auto add = http::AddMode::Add, ifNew = http::AddMode::AddIfNew;
  const std::string big = Bytes(2 << 20);  // large enough that the library would ask "Expect: 100-continue"
  struct Case {
    const char* name;
    Call call;
    const char* requestLine;
    V expected;
  } cases[] = {
      {"GET, no lines", {.url = server.Url("/p?q=1")}, "GET /p?q=1 HTTP/1.1", V{host}},
      {"POST, empty body", {.url = server.Url("/"), .verb = "POST"}, "POST / HTTP/1.1", V{host, "Content-Length: 0"}},
      {"POST, default content type",
       {.url = server.Url("/f"),
        .verb = "POST",
        .headers = {{"Content-Type: application/x-www-form-urlencoded \r\n", ifNew}},
        .body = "a=1&b=2"},
       "POST /f HTTP/1.1",
       V{host, "Content-Length: 7", "Content-Type: application/x-www-form-urlencoded"}},
      {"POST, big body",
       {.url = server.Url("/"), .verb = "POST", .headers = {{"Content-Type: text/xml", add}}, .body = big},
       "POST / HTTP/1.1",
       V{host, "Content-Type: text/xml", "Content-Length: " + std::to_string(big.size())}},
      {"lines in order, empty value, repeated name",
       {.url = server.Url("/"),
        .headers = {{"X-B: 2\r\nX-A: 1\r\n", add}, {"X-Empty:", add}, {"X-A: again", add}, {"Accept: text/html", add}}},
       "GET / HTTP/1.1",
       V{host, "X-B: 2", "X-A: 1", "X-Empty:", "X-A: again", "Accept: text/html"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Perform(c.call);
    ASSERT_EQ(o.code, 0) << http::LastErrorText();
    EXPECT_EQ(o.status, 204);
    std::string req = server.Captured();
    EXPECT_EQ(req.substr(0, req.find("\r\n")), c.requestLine);
    V lines = HeaderLines(req);
    std::sort(lines.begin(), lines.end());
    V expected = c.expected;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    // Lines the caller added keep their order.
    V inOrder;
    for (const auto& l : HeaderLines(req))
      if (l.starts_with("X-")) inOrder.push_back(l);
    V expectedOrder;
    for (const auto& l : c.expected)
      if (l.starts_with("X-")) expectedOrder.push_back(l);
    EXPECT_EQ(inOrder, expectedOrder);
    EXPECT_EQ(req.substr(req.find("\r\n\r\n") + 4), c.call.body);
  }
}

TEST(HttpWire, BodiesKeepEveryByteBothWays) {
  HttpServer server;
  server.server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.body, "application/octet-stream");
  });
  // Chunks of a chunked answer, NUL bytes at their edges.
  static const std::vector<std::string> kChunks = {std::string("\0ab\0", 4), Bytes(100000), std::string("\0", 1)};
  server.server.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [](std::size_t offset, httplib::DataSink& sink) {
      if (offset == 0)
        for (const auto& c : kChunks) sink.write(c.data(), c.size());
      sink.done();
      return true;
    });
  });

  // The biggest is more than the client holds for the reader at once, so the transfer pauses and resumes.
  for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{3} << 20}) {
    SCOPED_TRACE(size);
    std::string body = Bytes(size);
    body[0] = '\0';
    Outcome o = Perform({.url = server.Url("/echo"),
                         .verb = "POST",
                         .headers = {{"Content-Type: application/octet-stream", http::AddMode::Add}},
                         .body = body});
    ASSERT_EQ(o.code, 0) << http::LastErrorText();
    EXPECT_EQ(o.readError, http::Error::None);
    EXPECT_EQ(o.body.size(), body.size());
    EXPECT_TRUE(o.body == body);
  }

  Outcome o = Perform({.url = server.Url("/chunked")});
  ASSERT_EQ(o.code, 0);
  EXPECT_NE(o.headers.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << o.headers;
  std::string all;
  for (const auto& c : kChunks) all += c;
  EXPECT_TRUE(o.body == all);
  EXPECT_GE(o.chunks, 1u);
}

// --- the response's header block -----------------------------------------------------

TEST(HttpResponse, RawHeadersAreTheFinalBlock) {
  struct Case {
    const char* name;
    std::string answer;
    int status;
    std::string headers;
    std::string body;
  } cases[] = {
      {"plain", "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 2\r\n\r\nok", 200,
       "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 2\r\n\r\n", "ok"},
      {"after an interim answer", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n", 201,
       "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n", ""},
      {"bare line feeds", "HTTP/1.1 404 Not Found\nX-B: 2\nContent-Length: 1\n\nx", 404,
       "HTTP/1.1 404 Not Found\r\nX-B: 2\r\nContent-Length: 1\r\n\r\n", "x"},
      {"chunked with a trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-T\r\n\r\n3\r\nab\0\r\n0\r\nX-T: t\r\n\r\n"s, 200,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-T\r\n\r\n", "ab\0"s},
      {"body until close", "HTTP/1.0 200 OK\r\n\r\nto the end", 200, "HTTP/1.0 200 OK\r\n\r\n", "to the end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string answer = c.answer;
    RawServer server([&](RawServer&, int fd) {
      ReadRequest(fd);
      WriteAll(fd, answer);
    });
    Outcome o = Perform({.url = server.Url()});
    ASSERT_EQ(o.code, 0) << http::LastErrorText();
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.headers, c.headers);
    EXPECT_TRUE(o.body == c.body) << o.body;
    EXPECT_EQ(o.readError, http::Error::None);
  }
}

TEST(HttpResponse, RedirectsFollowedOnlyWhenAllowed) {
  HttpServer server;
  auto& s = server.server;
  s.Get("/r302", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/target");
    res.set_content("moved", "text/plain");
  });
  s.Post("/r302", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/target");
  });
  s.Post("/r307", [](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", "/target");
  });
  s.Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/loop");
  });
  s.Get("/target", [](const httplib::Request&, httplib::Response& res) { res.set_content("GET arrived", "text/plain"); });
  s.Post("/target", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("POST arrived: " + req.body, "text/plain");
  });

  struct Case {
    const char* name;
    Call call;
    int code, status;
    const char* body;
  } cases[] = {
      {"not followed", {.url = server.Url("/r302"), .follow = false}, 0, 302, "moved"},
      {"followed", {.url = server.Url("/r302")}, 0, 200, "GET arrived"},
      {"302 of a POST goes on as GET", {.url = server.Url("/r302"), .verb = "POST", .body = "x=1"}, 0, 200, "GET arrived"},
      {"307 keeps POST and body", {.url = server.Url("/r307"), .verb = "POST", .body = "x=1"}, 0, 200,
       "POST arrived: x=1"},
      {"endless", {.url = server.Url("/loop")}, 5, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Perform(c.call);
    ASSERT_EQ(o.code, c.code) << http::LastErrorText();
    if (c.code != 0) {
      EXPECT_EQ(o.error, http::Error::RedirectFailed);
      continue;
    }
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.body, c.body);
    EXPECT_TRUE(o.headers.starts_with("HTTP/1.1 " + std::to_string(c.status))) << o.headers;
    EXPECT_EQ(o.headers.find("Location:") != std::string::npos, c.status == 302) << o.headers;
  }
}

// --- failures of each step, and the time-outs -------------------------------------------

// A port where nothing listens.
int ClosedPort() {
  int port = 0;
  close(ListenLocal(1, &port));
  return port;
}

TEST(HttpFailures, EachStepFailsWithItsCode) {
  // Accepts but never reads: a big body fills the socket buffers and the send stalls.
  RawServer noReader([](RawServer& s, int) { s.Stall(); });
  // Reads the request and never answers.
  RawServer noAnswer([](RawServer& s, int fd) {
    ReadRequest(fd);
    s.Stall();
  });
  // Reads the request and hangs up.
  RawServer hangUp([](RawServer&, int fd) { ReadRequest(fd); });
  // Answers after 400 ms.
  RawServer slow([](RawServer& s, int fd) {
    ReadRequest(fd);
    s.Stall(400ms);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlate");
  });
  const std::string huge = Bytes(16 << 20);  // more than the loopback's socket buffers hold
  const int closed = ClosedPort();

  struct Case {
    const char* name;
    Call call;
    int code;
    http::Error error;
    http::Error orError = http::Error::None;
  } cases[] = {
      {"address without a scheme", {.url = "127.0.0.1/x"}, 1, http::Error::InvalidUrl},
      {"malformed header line", {.url = noAnswer.Url(), .headers = {{"NoColon", http::AddMode::Add}}}, 3,
       http::Error::InvalidHeader},
      {"content type already given",
       {.url = noAnswer.Url(),
        .verb = "POST",
        .headers = {{"Content-Type: text/xml", http::AddMode::Add},
                    {"Content-Type: application/x-www-form-urlencoded \r\n", http::AddMode::AddIfNew}}},
       3, http::Error::HeaderAlreadyExists},
      {"connection refused", {.url = "http://127.0.0.1:" + std::to_string(closed) + "/"}, 4,
       http::Error::CannotConnect},
      // Where no name server answers, the look-up runs into the connect time-out instead.
      {"name not resolved", {.url = "http://nothing.invalid/"}, 4, http::Error::NameNotResolved,
       http::Error::Timeout},
      {"send time-out", {.url = noReader.Url(), .verb = "POST", .body = huge, .sendMs = 300}, 4, http::Error::Timeout},
      {"receive time-out", {.url = noAnswer.Url(), .receiveMs = 300}, 5, http::Error::Timeout},
      {"hang-up without an answer", {.url = hangUp.Url()}, 5, http::Error::ConnectionError},
      {"late answer past the receive time-out", {.url = slow.Url(), .receiveMs = 150}, 5, http::Error::Timeout},
      {"late answer with no receive limit", {.url = slow.Url(), .receiveMs = 0}, 0, http::Error::None},
      {"big body to a reader, send limit 0",
       {.url = slow.Url(), .verb = "POST", .body = huge, .sendMs = 0}, 0, http::Error::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto start = Clock::now();
    Outcome o = Perform(c.call);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("[ %s ] code %d after %lld ms\n", c.name, o.code, static_cast<long long>(ms));
    EXPECT_EQ(o.code, c.code) << http::LastErrorText();
    if (o.error != c.orError || c.orError == http::Error::None) {
      EXPECT_EQ(o.error, c.error) << http::LastErrorText();
    }
    if (c.error == http::Error::Timeout) {
      EXPECT_GE(ms, std::min({c.call.sendMs, c.call.receiveMs}));
    }
  }
}

TEST(HttpFailures, ReceiveTimeOutBetweenReads) {
  // Headers and part of the body, then silence.
  RawServer stallMidBody([](RawServer& s, int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial");
    s.Stall();
  });
  Outcome o = Perform({.url = stallMidBody.Url(), .receiveMs = 300});
  ASSERT_EQ(o.code, 0);
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.body, "partial");
  EXPECT_EQ(o.readError, http::Error::Timeout);

  // The limit is on silence, not on the whole body: pieces 150 ms apart
  // arrive with a 300 ms limit although the body takes longer than that.
  RawServer trickle([](RawServer& s, int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
    for (char c : std::string("abcd")) {
      s.Stall(150ms);
      WriteAll(fd, std::string(1, c));
    }
  });
  o = Perform({.url = trickle.Url(), .receiveMs = 300});
  ASSERT_EQ(o.code, 0);
  EXPECT_EQ(o.body, "abcd");
  EXPECT_EQ(o.readError, http::Error::None);
}

TEST(HttpFailures, ConnectTimeOutOnAFullBacklog) {
  // A listener that never accepts, its queue filled: further connection
  // attempts get no answer.
  int port = 0;
  int listener = ListenLocal(0, &port);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(50ms);
  auto start = Clock::now();
  Outcome o = Perform({.url = "http://127.0.0.1:" + std::to_string(port) + "/", .connectMs = 300});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  std::printf("[ full backlog ] code %d after %lld ms\n", o.code, static_cast<long long>(ms));
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.error, http::Error::Timeout);
  for (int fd : fillers) close(fd);
  close(listener);
}

// --- TLS ----------------------------------------------------------------------------

// openssl's own test server with a certificate made for this run.
class SelfSignedServer {
 public:
  SelfSignedServer() {
    dir_ = std::filesystem::temp_directory_path() / ("velmora-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                      (dir_ / "key.pem").string() + "' -out '" + (dir_ / "cert.pem").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    port_ = ClosedPort();
    pid_ = fork();
    if (pid_ == 0) {
      std::string port = std::to_string(port_);
      execlp("openssl", "openssl", "s_server", "-quiet", "-www", "-accept", port.c_str(), "-cert",
             (dir_ / "cert.pem").c_str(), "-key", (dir_ / "key.pem").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it accepts connections.
    for (int i = 0; i < 100 && !ready_; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(port_));
      ready_ = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(fd);
      if (!ready_) std::this_thread::sleep_for(50ms);
    }
  }
  ~SelfSignedServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  bool ready() const { return ready_; }
  int port() const { return port_; }

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST(HttpTls, UsesTheSchemeAndVerifiesCertificates) {
  // https to a plain HTTP server on the address's port: TLS is really spoken there.
  RawServer plain([](RawServer&, int fd) {
    char hello[512];
    (void)!recv(fd, hello, sizeof hello, 0);
    WriteAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  });
  Outcome o = Perform({.url = "https://127.0.0.1:" + std::to_string(plain.port()) + "/"});
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.error, http::Error::SecureFailure) << http::LastErrorText();

  if (std::system("which openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "the openssl tool is not installed";
  SelfSignedServer server;
  ASSERT_TRUE(server.ready());
  o = Perform({.url = "https://127.0.0.1:" + std::to_string(server.port()) + "/"});
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.error, http::Error::SecureFailure) << http::LastErrorText();
}

// --- threads ------------------------------------------------------------------------

// Requests one after another to one server go over one connection, each
// with its own headers and redirect policy; a connection the server closed
// is not used again.
TEST(HttpConnections, KeptForTheNextRequestToTheSameServer) {
  HttpServer server;
  server.server.Get("/who", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.remote_port) + " " + req.get_header_value("X-N"), "text/plain");
  });
  server.server.Get("/moved", [](const httplib::Request& req, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/who");
    res.set_content(std::to_string(req.remote_port), "text/plain");
  });
  auto who = [&](const char* n, const char* path = "/who", bool follow = true) {
    Outcome o = Perform({.url = server.Url(path), .headers = {{"X-N: "s + n, http::AddMode::Add}}, .follow = follow});
    EXPECT_EQ(o.code, 0) << http::LastErrorText();
    return o;
  };
  const Outcome first = who("1");
  const std::string port = first.body.substr(0, first.body.find(' '));
  EXPECT_EQ(first.body, port + " 1");
  EXPECT_EQ(who("2").body, port + " 2");
  // Not followed, then followed: each request's own policy.
  Outcome moved = who("3", "/moved", false);
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.body, port);
  // (a redirect followed ends its connection: the answer's body is not read)
  EXPECT_TRUE(who("4", "/moved").body.ends_with(" 4"));

  // A server that closes every connection after its answer: each request
  // still gets its answer, over a connection of its own.
  HttpServer closing;
  closing.server.set_keep_alive_max_count(1);
  closing.server.Get("/who", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.remote_port), "text/plain");
  });
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    Outcome o = Perform({.url = closing.Url("/who")});
    ASSERT_EQ(o.code, 0) << http::LastErrorText();
    ports.push_back(o.body);
  }
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_NE(ports[1], ports[2]);
}

TEST(HttpThreads, RequestsOnManyThreadsAtOnce) {
  HttpServer server;
  server.server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.body, "application/octet-stream");
  });
  // As many as the server's listen queue takes at once (more wait a second
  // for the connection attempt to be retried).
  constexpr int kThreads = 6;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      std::string body = Bytes(1000 + static_cast<std::size_t>(i) * 5000);
      Outcome o = Perform({.url = server.Url("/echo"), .verb = "POST", .body = body});
      if (o.code == 0 && o.body == body) ++good;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kThreads);
}

}  // namespace
