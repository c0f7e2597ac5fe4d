#include "platform/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace namedpipe {

namespace {

// How long Open waits for a server that holds the name to answer or to go.
constexpr auto kOwnerWait = std::chrono::seconds(3);

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// A blocking connect to the socket at path: the descriptor, or -1 with errno set.
int ConnectTo(const std::string& path) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    int err = errno;
    ::close(fd);
    // A signal broke the wait for a free slot: wait again on a fresh socket.
    if (err == EINTR) continue;
    errno = err;
    return -1;
  }
}

void SetFailure(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

std::string Directory() {
  if (const char* dir = std::getenv("VELMORA_PIPE_DIR"); dir && *dir) return dir;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
    return std::string(run) + "/velmora";
  return "/tmp/velmora-" + std::to_string(::getuid());
}

std::string PathOf(std::string_view name) { return Directory() + "/" + std::string(name); }

bool EnsureDirectory(std::string* error) {
  std::string dir = Directory();
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetFailure(error, dir + ": " + std::strerror(errno));
    return false;
  }
  // Never follow a link: another user could have planted one in /tmp.
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    SetFailure(error, dir + ": " + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetFailure(error, dir + ": not a folder");
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    SetFailure(error, dir + ": belongs to another user");
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
    SetFailure(error, dir + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

// Connection

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    deadline_ = other.deadline_;
    other.fd_ = -1;
  }
  return *this;
}

void Connection::SetDeadline(std::chrono::milliseconds limit) {
  deadline_ = std::chrono::steady_clock::now() + limit;
}

bool Connection::WaitReady(short events) const {
  if (!deadline_) return true;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
    if (r > 0) return true;  // ready, or an error the next call reports
    if (r < 0 && errno != EINTR) return false;
  }
}

int Connection::IoFlags() const { return deadline_ ? MSG_DONTWAIT : 0; }

std::optional<std::string> Connection::ReadRequest() {
  if (fd_ < 0) return std::nullopt;
  char buf[kMaxRequest];
  ssize_t n;
  do {
    if (!WaitReady(POLLIN)) return std::nullopt;
    n = ::recv(fd_, buf, sizeof buf, IoFlags());
  } while (n < 0 && (errno == EINTR || errno == EAGAIN));
  if (n <= 0) return std::nullopt;
  return std::string(buf, ::strnlen(buf, static_cast<std::size_t>(n)));
}

bool Connection::WriteReply(std::string_view text) {
  std::string bytes(text);
  bytes.push_back('\0');
  return WriteRequest(bytes);
}

bool Connection::WriteRequest(std::string_view text) {
  if (fd_ < 0) return false;
  const char* p = text.data();
  std::size_t left = text.size();
  // One send normally takes everything; a reply larger than the socket
  // buffer goes out in pieces.
  while (left > 0) {
    if (!WaitReady(POLLOUT)) return false;
    ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL | IoFlags());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> Connection::ReadReply(std::size_t maxBytes) {
  if (fd_ < 0) return std::nullopt;
  std::string got;
  bool any = false;
  while (got.size() < maxBytes) {
    char buf[512];
    std::size_t want = std::min(sizeof buf, maxBytes - got.size());
    if (!WaitReady(POLLIN)) break;
    ssize_t n = ::recv(fd_, buf, want, IoFlags());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    any = true;
    const char* zero = static_cast<const char*>(std::memchr(buf, '\0', static_cast<std::size_t>(n)));
    if (zero) {
      got.append(buf, static_cast<std::size_t>(zero - buf));
      return got;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  if (!any) return std::nullopt;
  return got;
}

// Server

Server::~Server() { Close(); }

Server::OpenResult Server::Open(std::string_view name) {
  Close();
  if (!EnsureDirectory()) return OpenResult::Failed;
  std::string path = PathOf(name);
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return OpenResult::Failed;

  // Take the name. While another server holds it, that server either
  // answers (it is live: leave it alone) or is about to go.
  int lockFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return OpenResult::Failed;
  auto deadline = std::chrono::steady_clock::now() + kOwnerWait;
  for (;;) {
    if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ::close(lockFd);
      return OpenResult::Failed;
    }
    if (int probe = ConnectTo(path); probe >= 0) {
      ::close(probe);
      ::close(lockFd);
      return OpenResult::AlreadyServed;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(lockFd);
      return OpenResult::AlreadyServed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // The name is ours: any socket file left there belongs to a server
  // that died, so it is replaced.
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ::close(lockFd);
    return OpenResult::Failed;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    ::close(lockFd);
    return OpenResult::Failed;
  }
  listenFd_ = fd;
  lockFd_ = lockFd;
  path_ = std::move(path);
  return OpenResult::Listening;
}

Connection Server::Accept() {
  while (listenFd_ >= 0) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Connection(fd);
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // Out of descriptors or memory for now: the queue keeps the client.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      default:
        return Connection();
    }
  }
  return Connection();
}

void Server::Close() {
  if (listenFd_ >= 0) {
    // Unlink while the name is still ours, so no other server's socket is removed.
    ::unlink(path_.c_str());
    ::close(listenFd_);
    listenFd_ = -1;
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
  path_.clear();
}

// Client

ClientStatus Connect(std::string_view name, Connection* out) {
  int fd = ConnectTo(PathOf(name));
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ECONNREFUSED:
      case ENOTDIR:
      case ENOTSOCK:
        return ClientStatus::NoServer;
      default:
        return ClientStatus::Failed;
    }
  }
  *out = Connection(fd);
  return ClientStatus::Ok;
}

Exchange Transact(std::string_view name, std::string_view request, std::size_t maxReply) {
  Exchange ex;
  Connection c;
  ex.status = Connect(name, &c);
  if (ex.status != ClientStatus::Ok) return ex;
  ex.status = ClientStatus::Failed;
  if (!c.WriteRequest(request)) return ex;
  auto reply = c.ReadReply(maxReply);
  if (!reply) return ex;
  ex.status = ClientStatus::Ok;
  ex.reply = std::move(*reply);
  return ex;
}

}  // namespace namedpipe
