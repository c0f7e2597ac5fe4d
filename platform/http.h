// A synchronous HTTP client on libcurl, shaped as a session, a connection
// and a request, each opened from the one before, so that a caller can tell
// which step of a request failed:
//
//   Session::Open            make the session (holds the connect time-out)
//   Connection::Open         name the host, port and scheme (no network yet)
//   Request::Open            verb and object (path and query)
//   Request::AddHeaders      header lines, "add" or "add if new"
//   Request::Send            connect, send the request line, headers and body
//   Request::ReceiveResponse wait for the headers of the final response
//   StatusCode / RawHeaders  the final response's status and header block
//   QueryDataAvailable / ReadData   the body, chunk by chunk
//
// Each call that fails returns false (or nullopt, or null) and leaves the
// reason in the calling thread's LastError(). The transfer is driven step by
// step on the calling thread: Send returns once the request has been handed
// to the network, ReceiveResponse once the final response's headers are in,
// and the body is pulled from the network only as it is read. A request is
// used by one thread at a time; different requests may run on different
// threads at once. What they share is kept for speed alone: resolved host
// names, and the connection of a request whose response was read to its
// end, which a later request to the same scheme, host and port goes over
// instead of connecting anew (its own options all apply; the connect
// time-out only when it does connect).
//
// Time-outs are in milliseconds; 0 (or a negative value) means no limit.
//   connect  name resolution, TCP connect and TLS handshake;
//   send     no part of the request could be handed to the network for that
//            long while sending;
//   receive  no byte of the response arrived for that long, while waiting
//            for the response and within each read.
//
// What goes on the wire: an HTTP/1.1 request with the request line, "Host",
// "Content-Length" unless the verb is GET or HEAD without a body (so a POST
// always carries it, 0 for an empty body), then the added header lines in
// the order they were added. No user agent,
// "Accept", "Expect", content type or encoding header is added on the
// caller's behalf. No proxy is used; cookies are not kept. https is verified
// against the system's certificate store.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace http {

// Why the last failing call of this thread failed. The numbers are those of
// the platform the system was designed for, so diagnostic lines that print
// them read the same there and here.
enum class Error : std::uint32_t {
  None = 0,
  OutOfMemory = 8,
  InvalidParameter = 87,
  Timeout = 12002,
  InternalError = 12004,
  InvalidUrl = 12005,
  UnrecognizedScheme = 12006,
  NameNotResolved = 12007,
  IncorrectHandleState = 12019,  // a step called out of order
  CannotConnect = 12029,
  ConnectionError = 12030,  // the connection broke or the peer closed it
  HeaderNotFound = 12150,
  InvalidServerResponse = 12152,
  InvalidHeader = 12153,        // a malformed header line
  HeaderAlreadyExists = 12155,  // "add if new" found the name already there
  RedirectFailed = 12156,
  SecureFailure = 12175,  // TLS handshake or certificate verification failed
};

// The error of the last failing call on the calling thread (None when none has failed).
Error LastError();
// A short text for diagnostics: the error's name and, after a transfer
// failure, what the transfer library said.
std::string LastErrorText();

enum class Scheme { Http, Https };

constexpr int DefaultPort(Scheme s) { return s == Scheme::Https ? 443 : 80; }

// An absolute address split into its parts.
struct Url {
  Scheme scheme = Scheme::Http;
  std::string host;    // without the brackets of an IPv6 literal
  int port = 80;       // the address's own port, else the scheme's default
  std::string object;  // path and query, never empty ("/" at least)
};

// Splits "scheme://[user[:password]@]host[:port][/path][?query][#fragment]".
// Only http and https are understood, in any case. The object keeps the path
// and query (the fragment is not sent; user and password are dropped), with
// spaces, control characters, bytes above 0x7E and '"', '<', '>' percent-encoded.
// nullopt for an address without a scheme, an unknown scheme, an empty host
// or a port that is not a number from 1 to 65535.
std::optional<Url> SplitUrl(std::string_view address);

class Session {
 public:
  // Null when the transfer library cannot be initialised.
  static std::unique_ptr<Session> Open();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Applies to connections opened afterwards.
  void SetConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
  int connectTimeout() const { return connectTimeoutMs_; }

 private:
  Session() = default;
  int connectTimeoutMs_ = 60000;
};

class Connection {
 public:
  // Names the server; nothing is sent yet. Null (InvalidParameter) for an
  // empty host, a host with characters no host name has, or a port outside 1..65535.
  static std::unique_ptr<Connection> Open(const Session& session, std::string_view host, int port,
                                          Scheme scheme);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  Scheme scheme() const { return scheme_; }
  int connectTimeout() const { return connectTimeoutMs_; }

 private:
  Connection() = default;
  std::string host_;
  int port_ = 80;
  Scheme scheme_ = Scheme::Http;
  int connectTimeoutMs_ = 60000;
};

enum class AddMode {
  Add,       // always added, after the lines already there (a name may repeat)
  AddIfNew,  // refused (HeaderAlreadyExists) when a line of that name is already there
};

class Request {
 public:
  // Null for a verb that is not an HTTP token, an object that does not start
  // with '/' or holds spaces or control characters (InvalidParameter), or
  // when no transfer can be made (OutOfMemory). An empty object means "/".
  static std::unique_ptr<Request> Open(const Connection& connection, std::string_view verb,
                                       std::string_view object);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Redirects (301, 302, 303, 307, 308 with a Location) are followed by
  // default, at most 10, never from https to http (that answer is returned
  // as is); 303, and 301/302 of a POST, continue as GET without a body.
  void SetFollowRedirects(bool follow) { followRedirects_ = follow; }

  // Adds one or more header lines ("Name: value", separated by CRLF; a
  // trailing CRLF and blanks around the value are ignored). The whole text
  // is refused, adding nothing, when a line has no colon, an empty name, a
  // name that is not an HTTP token, or a value with control characters
  // (InvalidHeader), or when it holds no line at all (InvalidParameter).
  bool AddHeaders(std::string_view text, AddMode mode);

  void SetSendTimeout(int ms) { sendTimeoutMs_ = ms; }
  // The time-out while waiting for the response and within each read.
  void SetReceiveTimeout(int ms) { receiveTimeoutMs_ = ms; }
  // A bound on the whole request, whatever the time-outs above: no step
  // (connecting, sending, waiting, reading) runs past this moment; one
  // still running then fails with Timeout. A peer that trickles a byte now
  // and then keeps the time-outs above from ever running out, not this.
  void SetDeadline(std::chrono::steady_clock::time_point deadline);

  // Connects and sends the request with the body (every byte of it). Returns
  // once the whole request has been handed to the network; false when name
  // resolution, connecting, the TLS handshake or sending fails or times out.
  bool Send(std::string_view body = {});
  // Waits for the headers of the final response (after any redirects followed).
  bool ReceiveResponse();

  // After ReceiveResponse: the status code of the final response.
  std::optional<int> StatusCode() const;
  // After ReceiveResponse: the final response's header block as received,
  // status line first, each line ending in CRLF, closed by an empty line.
  std::optional<std::string> RawHeaders() const;

  // After ReceiveResponse: the number of body bytes that can be read without
  // waiting, waiting for the next ones when none are there yet; 0 at the end
  // of the body. nullopt when the connection fails or the receive time-out runs out.
  std::optional<std::size_t> QueryDataAvailable();
  // Reads up to buffer.size() body bytes, waiting like QueryDataAvailable
  // when none are there; 0 at the end of the body.
  std::optional<std::size_t> ReadData(std::span<char> buffer);

 private:
  struct Transfer;
  Request() = default;
  bool followRedirects_ = true;
  int connectTimeoutMs_ = 60000;
  int sendTimeoutMs_ = 30000;
  int receiveTimeoutMs_ = 30000;
  std::unique_ptr<Transfer> t_;
};

}  // namespace http
