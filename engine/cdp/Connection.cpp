#include "engine/cdp/Connection.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;

namespace cdp {

namespace {

constexpr const char* kInstalledBrowser = "/usr/lib/chromium/chromium";
constexpr const char* kBrowserWrapper = "/usr/bin/chromium";
constexpr loop::UINT WM_CDP_EVENT = loop::WM_USER + 0x100;

struct EventRecord : loop::Record {
  Event event;
  // Set for the reply to a command sent with CallAsync.
  std::function<void(const Reply&)> onReply;
  Reply reply;
};

// Moves a descriptor above the range the child's 3 and 4 take, so that
// dup2 into the child never meets a no-op that would keep close-on-exec.
int Above4(int fd) {
  if (fd > 4) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return moved;
}

int HexValue(std::string_view s) {
  int v = 0;
  for (char c : s) {
    v <<= 4;
    if (c >= '0' && c <= '9') v |= c - '0';
    else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
    else return -1;
  }
  return v;
}

}  // namespace

// Runs what the reader thread posted, on the loop's thread: a reply's
// handler, or the event sink.
loop::LRESULT Connection::OnPosted(loop::Message& m) {
  if (m.msg != WM_CDP_EVENT) return 0;
  auto rec = loop::Adopt<EventRecord>(m);
  if (!rec) return 0;
  if (rec->onReply) {
    rec->onReply(rec->reply);
  } else if (sink_) {
    sink_(rec->event);
  }
  return 0;
}

LaunchOptions LaunchOptions::FromEnvironment() {
  LaunchOptions o;
  if (const char* e = std::getenv("VELMORA_CHROMIUM"); e && *e) o.executable = e;
  const char* show = std::getenv("VELMORA_SHOW_BROWSER");
  o.headless = !(show && std::string_view(show) == "1");
  const char* isolate = std::getenv("VELMORA_SITE_ISOLATION");
  o.siteIsolation = isolate && std::string_view(isolate) == "1";
  return o;
}

std::string Connection::ReplaceLoneSurrogates(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (c != '\\' || i + 1 >= json.size()) {
      out += c;
      continue;
    }
    if (json[i + 1] != 'u' || i + 6 > json.size()) {
      out.append(json.substr(i, 2));  // any other escape, kept whole
      ++i;
      continue;
    }
    int u = HexValue(json.substr(i + 2, 4));
    bool high = u >= 0xD800 && u <= 0xDBFF;
    bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (high && i + 12 <= json.size() && json[i + 6] == '\\' && json[i + 7] == 'u') {
      int u2 = HexValue(json.substr(i + 8, 4));
      if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
        out.append(json.substr(i, 12));
        i += 11;
        continue;
      }
    }
    if (high || low) {
      out += "\\ufffd";
    } else {
      out.append(json.substr(i, 6));
    }
    i += 5;
  }
  return out;
}

std::unique_ptr<Connection> Connection::Launch(loop::Loop& loop, const LaunchOptions& options,
                                               std::string* error) {
  auto fail = [&](std::string why) -> std::unique_ptr<Connection> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  // A write to a browser that died must fail with EPIPE, not end the process.
  ::signal(SIGPIPE, SIG_IGN);

  std::string exe = options.executable;
  if (exe.empty() || exe == kBrowserWrapper)
    exe = ::access(kInstalledBrowser, X_OK) == 0 ? kInstalledBrowser : kBrowserWrapper;
  if (::access(exe.c_str(), X_OK) != 0) return fail("no browser at " + exe);

  std::unique_ptr<Connection> c(new Connection());
  char tmpl[] = "/tmp/velmora-browser-XXXXXX";
  if (!::mkdtemp(tmpl)) return fail("cannot make a profile folder");
  c->profileDir_ = tmpl;

  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return fail("pipe");
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return fail("pipe");
  }
  for (int* fd : {&toChild[0], &toChild[1], &fromChild[0], &fromChild[1]}) *fd = Above4(*fd);

  std::vector<std::string> args = {
      exe,
      "--remote-debugging-pipe",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--user-data-dir=" + c->profileDir_,
  };
  if (options.siteIsolation) {
    args.push_back("--disable-features=BackForwardCache");
  } else {
    // Frames of other sites stay in their page's process: the browser
    // lets no one answer a dialog that opens while one of another
    // process shows, so such a dialog would hold its page for good.
    args.push_back("--disable-features=BackForwardCache,IsolateOrigins,site-per-process");
    args.push_back("--disable-site-isolation-trials");
  }
  if (options.headless) args.push_back("--headless=new");
  args.push_back("about:blank");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 3);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 4);
  if (!std::getenv("VELMORA_BROWSER_LOG")) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so that the whole browser can be ended at once.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  int rc = ::posix_spawn(&c->pid_, exe.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  c->writeFd_ = toChild[1];
  c->readFd_ = fromChild[0];
  if (rc != 0) {
    c->pid_ = -1;
    return fail(std::string("cannot start the browser: ") + std::strerror(rc));
  }
  c->alive_ = true;
  c->target_ = std::make_unique<loop::FunctionTarget>(loop, [conn = c.get()](loop::Message& m) { return conn->OnPosted(m); });
  c->reader_ = std::thread([conn = c.get()] { conn->ReaderLoop(); });

  // The first reply tells that the browser listens.
  Reply version = c->Call(protocol::GetVersion(), {}, 20000);
  if (!version.ok) return fail("the browser did not answer: " + version.error);
  return c;
}

Connection::~Connection() {
  if (alive_) Send(protocol::CloseBrowser());
  // Give the browser a moment to close by itself, then end its whole group
  // (helper processes that outlive the main one go with it).
  const pid_t group = pid_;
  if (pid_ > 0) {
    for (int i = 0; i < 50; ++i) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-group, SIGKILL);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (writeFd_ >= 0) ::close(writeFd_);
  if (reader_.joinable()) reader_.join();
  if (readFd_ >= 0) ::close(readFd_);
  target_.reset();
  if (!profileDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(profileDir_, ec);
  }
}

Json::Value Connection::Command(int id, std::string_view method, const Json::Value& params,
                                std::string_view sessionId) {
  Json::Value cmd(Json::objectValue);
  cmd["id"] = id;
  cmd["method"] = std::string(method);
  cmd["params"] = params.isNull() ? Json::Value(Json::objectValue) : params;
  if (!sessionId.empty()) cmd["sessionId"] = std::string(sessionId);
  return cmd;
}

bool Connection::Write(const std::string& text) {
  std::lock_guard lock(writeMutex_);
  if (writeFd_ < 0) return false;
  const char* p = text.c_str();
  std::size_t left = text.size() + 1;  // with the NUL that ends the message
  while (left > 0) {
    ssize_t n = ::write(writeFd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

bool Connection::Send(std::string_view method, const Json::Value& params, std::string_view sessionId) {
  if (!alive_) return false;
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Write(Json::writeString(w, Command(NextId(), method, params, sessionId)));
}

Reply Connection::Call(std::string_view method, const Json::Value& params, std::string_view sessionId,
                       int timeoutMs) {
  Reply reply;
  if (!alive_) {
    reply.error = "the browser is gone";
    return reply;
  }
  int id = NextId();
  {
    std::lock_guard lock(replyMutex_);
    pending_[id];
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  if (!Write(Json::writeString(w, Command(id, method, params, sessionId)))) {
    std::lock_guard lock(replyMutex_);
    pending_.erase(id);
    reply.error = "the browser is gone";
    return reply;
  }
  std::unique_lock lock(replyMutex_);
  bool done = replyCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return pending_[id].has_value() || !alive_; });
  auto it = pending_.find(id);
  if (done && it->second) {
    reply = std::move(*it->second);
  } else {
    reply.timedOut = alive_;
    reply.error = alive_ ? "no reply in time" : "the browser is gone";
  }
  pending_.erase(it);
  return reply;
}

bool Connection::CallAsync(std::string_view method, const Json::Value& params,
                           std::string_view sessionId, ReplyHandler onReply) {
  if (!alive_) return false;
  int id = NextId();
  {
    std::lock_guard lock(replyMutex_);
    asyncPending_[id] = std::move(onReply);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  if (!Write(Json::writeString(w, Command(id, method, params, sessionId)))) {
    std::lock_guard lock(replyMutex_);
    asyncPending_.erase(id);
    return false;
  }
  return true;
}

void Connection::PostReply(ReplyHandler handler, Reply reply) {
  auto rec = std::make_unique<EventRecord>();
  rec->onReply = std::move(handler);
  rec->reply = std::move(reply);
  loop::PostMessage(target_->hwnd(), WM_CDP_EVENT, 0, std::move(rec));
}

void Connection::SetInterceptor(Interceptor interceptor) {
  std::lock_guard lock(interceptorMutex_);
  interceptor_ = std::move(interceptor);
}

void Connection::ReaderLoop() {
  std::string buffer;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(readFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    TakeMessages(buffer, [this](std::string_view message) { Dispatch(message); });
  }
  // End of the pipe: the browser exited or was killed. Wake every caller;
  // every reply still awaited fails.
  std::map<int, ReplyHandler> orphans;
  {
    std::lock_guard lock(replyMutex_);
    alive_ = false;
    orphans.swap(asyncPending_);
  }
  replyCv_.notify_all();
  for (auto& [id, handler] : orphans) {
    Reply gone;
    gone.error = "the browser is gone";
    PostReply(std::move(handler), std::move(gone));
  }
  auto rec = std::make_unique<EventRecord>();
  rec->event.method = "Connection.closed";
  loop::PostMessage(target_->hwnd(), WM_CDP_EVENT, 0, std::move(rec));
}

void Connection::TakeMessages(std::string& buffer, const std::function<void(std::string_view)>& take) {
  std::size_t start = 0;
  for (std::size_t nul; (nul = buffer.find('\0', start)) != std::string::npos; start = nul + 1)
    take(std::string_view(buffer).substr(start, nul - start));
  buffer.erase(0, start);
}

Connection::Message Connection::ReadMessage(std::string_view text) {
  Message m;
  // The id of a reply, from its text alone: the browser writes it first.
  auto leadingId = [&]() -> std::optional<int> {
    constexpr std::string_view kStart = "{\"id\":";
    if (text.substr(0, kStart.size()) != kStart) return std::nullopt;
    std::string_view digits = text.substr(kStart.size());
    digits = digits.substr(0, digits.find_first_not_of("0123456789"));
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    return std::stoi(std::string(digits));
  };
  Json::Value msg;
  try {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string clean = ReplaceLoneSurrogates(text);
    std::string errs;
    // Too deep (the reader refuses more than a thousand levels; the
    // browser itself sends no value deeper than a few hundred), or broken.
    if (!reader->parse(clean.data(), clean.data() + clean.size(), &msg, &errs)) msg = Json::Value();
  } catch (const std::exception&) {
    msg = Json::Value();
  }
  if (!msg.isObject()) {
    if (auto id = leadingId()) {
      m.kind = Message::ReplyTo;
      m.id = *id;
      m.reply.error = "the browser's reply could not be read";
    }
    return m;
  }
  auto textOf = [](const Json::Value& v) { return v.isString() ? v.asString() : std::string(); };
  // A reply: its result, or the protocol's error.
  if (msg.isMember("id")) {
    const Json::Value& id = msg["id"];
    if (!id.isInt()) return m;
    m.kind = Message::ReplyTo;
    m.id = id.asInt();
    if (msg.isMember("error")) {
      const Json::Value& error = msg["error"];
      m.reply.error = error.isObject() ? textOf(error["message"]) : std::string();
      if (m.reply.error.empty()) m.reply.error = "the browser refused the command";
    } else {
      m.reply.ok = true;
      m.reply.result = msg["result"].isObject() ? msg["result"] : Json::Value(Json::objectValue);
    }
    return m;
  }
  // An event: its name, its parameters (an object) and its session.
  m.kind = Message::EventOf;
  m.event.method = textOf(msg["method"]);
  m.event.params = msg["params"].isObject() ? msg["params"] : Json::Value(Json::objectValue);
  m.event.sessionId = textOf(msg["sessionId"]);
  return m;
}

void Connection::Dispatch(std::string_view text) {
  Message msg = ReadMessage(text);
  if (msg.kind == Message::Unreadable) return;
  if (msg.kind == Message::ReplyTo) {
    const int id = msg.id;
    Reply r = std::move(msg.reply);
    std::unique_lock lock(replyMutex_);
    if (auto a = asyncPending_.find(id); a != asyncPending_.end()) {
      ReplyHandler handler = std::move(a->second);
      asyncPending_.erase(a);
      lock.unlock();
      PostReply(std::move(handler), std::move(r));
      return;
    }
    auto it = pending_.find(id);
    if (it == pending_.end()) return;  // nobody waits (sent without waiting, or too late)
    it->second = std::move(r);
    replyCv_.notify_all();
    return;
  }
  auto rec = std::make_unique<EventRecord>();
  rec->event = std::move(msg.event);
  {
    std::lock_guard lock(interceptorMutex_);
    if (interceptor_ && interceptor_(*this, rec->event)) return;
  }
  loop::PostMessage(target_->hwnd(), WM_CDP_EVENT, 0, std::move(rec));
}

}  // namespace cdp
