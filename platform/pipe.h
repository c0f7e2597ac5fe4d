// Named pipes as Unix sockets. A pipe NAME is the socket NAME in the pipe
// folder: $VELMORA_PIPE_DIR, else $XDG_RUNTIME_DIR/velmora, else
// /tmp/velmora-<uid>. The folder is created with mode 0700 and must belong
// to the user; the socket is the user's only (0600).
//
// One request and one reply per connection. A request is what one read of
// at most kMaxRequest bytes returns, up to its first zero byte; senders write
// it in one write without a zero byte. A reply is its text followed by one
// zero byte.
//
// A server serves one connection at a time; clients that arrive meanwhile
// wait in the listen queue, so a client "waits for the pipe" simply by
// connecting. When no server runs (no socket, or a refused connection) a
// client fails at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace namedpipe {

constexpr std::size_t kMaxRequest = 1024;

// The pipe folder (read from the environment on each call).
std::string Directory();
// The socket path of a pipe name.
std::string PathOf(std::string_view name);
// Creates the pipe folder when missing (mode 0700) and checks that it is a
// folder of the user's own, tightening its mode to 0700. False (with a reason
// in *error when given) when it cannot be made safe.
bool EnsureDirectory(std::string* error = nullptr);

// A connected socket; closed with the object.
class Connection {
 public:
  Connection() = default;
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection();
  Connection(Connection&& other) noexcept : fd_(other.fd_), deadline_(other.deadline_) { other.fd_ = -1; }
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Server side: one read of at most kMaxRequest bytes, cut at its first zero
  // byte. nullopt when the read fails or the peer closed without sending.
  std::optional<std::string> ReadRequest();
  // Server side: the text and one zero byte, in one write. False when the
  // peer has gone (never raises SIGPIPE).
  bool WriteReply(std::string_view text);

  // Client side: the request bytes, without a zero byte.
  bool WriteRequest(std::string_view text);
  // Client side: reads until the first zero byte, the end of the stream or
  // maxBytes bytes; the text before the zero byte. nullopt when nothing
  // could be read.
  std::optional<std::string> ReadReply(std::size_t maxBytes);

  // One deadline for the rest of the exchange: every later read or write
  // fails once `limit` has passed from now, however the peer paces its
  // side (a peer that reads a little now and then cannot stretch it).
  void SetDeadline(std::chrono::milliseconds limit);

 private:
  // Waits until the socket is ready for `events` (poll's) or the deadline
  // passes; true when ready. Without a deadline it is ready at once and
  // the call that follows blocks.
  bool WaitReady(short events) const;
  // MSG_DONTWAIT while a deadline is set, so that only WaitReady waits.
  int IoFlags() const;

  int fd_ = -1;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// The listening end of a pipe. At most one server per pipe name: a lock file
// beside the socket is held for the server's lifetime, so a second server
// cannot unlink and replace a live one's socket, while a socket left by a
// server that died (its lock went with it) is replaced.
class Server {
 public:
  enum class OpenResult {
    Listening,
    AlreadyServed,  // another live server answers on this name
    Failed,         // the folder or the socket cannot be made
  };

  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  OpenResult Open(std::string_view name);
  // Waits for the next client. An invalid connection when listening failed
  // for good (transient failures are retried).
  Connection Accept();
  // Removes the socket and releases the name (also done by the destructor).
  void Close();

  bool listening() const { return listenFd_ >= 0; }

 private:
  int listenFd_ = -1;
  int lockFd_ = -1;
  std::string path_;
};

enum class ClientStatus {
  Ok,
  NoServer,  // no socket, or nobody listens on it
  Failed,    // connected, but the exchange broke off
};

// Connects to a pipe, waiting while its server is busy with others.
ClientStatus Connect(std::string_view name, Connection* out);

struct Exchange {
  ClientStatus status = ClientStatus::Failed;
  std::string reply;  // up to its first zero byte
};

// One request and its reply (at most maxReply bytes are read).
Exchange Transact(std::string_view name, std::string_view request, std::size_t maxReply);

}  // namespace namedpipe
