#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace http {

namespace {

using Clock = std::chrono::steady_clock;

thread_local Error t_error = Error::None;
thread_local std::string t_detail;

bool Fail(Error e, std::string detail = {}) {
  t_error = e;
  t_detail = std::move(detail);
  return false;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The characters of an HTTP token (method and header names).
bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(),
                                   [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

bool IsHostName(std::string_view host) {
  if (host.empty()) return false;
  for (char ch : host) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || std::strchr("/?#@[]\\<>\"", c)) return false;
  }
  return true;
}

// Percent-encodes what cannot travel in a request target as it is.
std::string EncodeObject(std::string_view object) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : object) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

const char* ErrorName(Error e) {
  switch (e) {
    case Error::None: return "no error";
    case Error::OutOfMemory: return "out of memory";
    case Error::InvalidParameter: return "invalid parameter";
    case Error::Timeout: return "timed out";
    case Error::InternalError: return "internal error";
    case Error::InvalidUrl: return "invalid address";
    case Error::UnrecognizedScheme: return "unrecognised scheme";
    case Error::NameNotResolved: return "host name not resolved";
    case Error::IncorrectHandleState: return "step called out of order";
    case Error::CannotConnect: return "cannot connect";
    case Error::ConnectionError: return "connection failed";
    case Error::HeaderNotFound: return "header not found";
    case Error::InvalidServerResponse: return "invalid server response";
    case Error::InvalidHeader: return "invalid header line";
    case Error::HeaderAlreadyExists: return "header already exists";
    case Error::RedirectFailed: return "redirect failed";
    case Error::SecureFailure: return "secure connection failed";
  }
  return "unknown error";
}

Error FromCurl(CURLcode c) {
  switch (c) {
    case CURLE_OK: return Error::None;
    case CURLE_OUT_OF_MEMORY: return Error::OutOfMemory;
    case CURLE_OPERATION_TIMEDOUT: return Error::Timeout;
    case CURLE_URL_MALFORMAT: return Error::InvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: return Error::UnrecognizedScheme;
    case CURLE_COULDNT_RESOLVE_HOST: return Error::NameNotResolved;
    case CURLE_COULDNT_CONNECT: return Error::CannotConnect;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE: return Error::ConnectionError;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return Error::InvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return Error::RedirectFailed;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return Error::SecureFailure;
    default: return Error::InternalError;
  }
}

// curl_global_init is not thread-safe: the first session of the process runs it, once.
bool GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

// A limit in milliseconds as the transfer library takes it: ours uses 0 (or
// less) for "no limit", the library for "its built-in default".
long ConnectLimit(int ms) { return ms > 0 ? ms : static_cast<long>(INT_MAX); }

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The DNS results of every request, shared: a host is resolved once while
// its answer lasts, not once per request. The transfer library locks the
// shared cache through these.
std::mutex g_shareLocks[CURL_LOCK_DATA_LAST];
void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*) { g_shareLocks[data].lock(); }
void UnlockShare(CURL*, curl_lock_data data, void*) { g_shareLocks[data].unlock(); }
CURLSH* SharedDns() {
  static CURLSH* share = [] {
    CURLSH* s = curl_share_init();
    if (!s) return s;
    curl_share_setopt(s, CURLSHOPT_LOCKFUNC, &LockShare);
    curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, &UnlockShare);
    curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    return s;
  }();
  return share;
}

// The handles of a request whose response was read to its end, kept with
// the connection that their multi handle holds open, so that the next
// request to the same server goes over it instead of connecting anew. Each
// request still sets all of its own options (time-outs, headers, verb,
// redirects) on the handles it takes.
struct Handles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string origin;  // "scheme://host:port" of the connection kept
};

class HandlePool {
 public:
  // Idle handles for `origin`, most recently used first; none: empty handles.
  Handles Take(const std::string& origin) {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->origin != origin) continue;
      Handles h = *it;
      idle_.erase(std::next(it).base());
      return h;
    }
    return {};
  }
  // Keeps the handles of a finished request; the oldest go when too many are idle.
  void Give(Handles h) {
    curl_easy_reset(h.easy);
    std::lock_guard lock(mutex_);
    if (idle_.size() >= kMaxIdle) {
      Close(idle_.front());
      idle_.erase(idle_.begin());
    }
    idle_.push_back(std::move(h));
  }
  static void Close(const Handles& h) {
    if (h.easy) curl_easy_cleanup(h.easy);
    if (h.multi) curl_multi_cleanup(h.multi);
  }

 private:
  static constexpr std::size_t kMaxIdle = 16;
  std::mutex mutex_;
  std::vector<Handles> idle_;
};

// Lives as long as the process (its connections close with it).
HandlePool& Pool() {
  static auto* pool = new HandlePool();
  return *pool;
}

constexpr int kMaxRedirects = 10;
// The body bytes held for the reader at most; beyond this the transfer pauses.
constexpr std::size_t kMaxPending = 256 * 1024;

}  // namespace

Error LastError() { return t_error; }

std::string LastErrorText() {
  std::string text = ErrorName(t_error);
  if (!t_detail.empty()) text += ": " + t_detail;
  return text;
}

std::optional<Url> SplitUrl(std::string_view address) {
  std::string_view s = address;
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);

  auto invalid = [](Error e = Error::InvalidUrl) -> std::optional<Url> {
    Fail(e);
    return std::nullopt;
  };
  auto sep = s.find("://");
  if (sep == std::string_view::npos || sep == 0) return invalid();
  Url url;
  std::string_view scheme = s.substr(0, sep);
  if (EqualsNoCase(scheme, "http")) {
    url.scheme = Scheme::Http;
  } else if (EqualsNoCase(scheme, "https")) {
    url.scheme = Scheme::Https;
  } else {
    return invalid(Error::UnrecognizedScheme);
  }
  s.remove_prefix(sep + 3);

  auto authorityEnd = s.find_first_of("/?#");
  std::string_view authority = s.substr(0, authorityEnd);
  std::string_view rest = authorityEnd == std::string_view::npos ? std::string_view{} : s.substr(authorityEnd);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host, port;
  bool bracketed = !authority.empty() && authority.front() == '[';
  if (bracketed) {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return invalid();
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return invalid();
      port = after.substr(1);
    }
  } else {
    auto colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (bracketed ? host.empty() : !IsHostName(host)) return invalid();
  url.host = std::string(host);

  url.port = DefaultPort(url.scheme);
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return invalid();
    int n = std::stoi(std::string(port));
    if (n < 1 || n > 65535) return invalid();
    url.port = n;
  }

  // The fragment stays with the client.
  rest = rest.substr(0, rest.find('#'));
  std::string object(rest);
  if (object.empty() || object.front() != '/') object.insert(0, "/");
  url.object = EncodeObject(object);
  return url;
}

// ---------------------------------------------------------------------------

std::unique_ptr<Session> Session::Open() {
  if (!GlobalInit()) {
    Fail(Error::InternalError, "the transfer library could not be initialised");
    return nullptr;
  }
  return std::unique_ptr<Session>(new Session);
}

Session::~Session() = default;

std::unique_ptr<Connection> Connection::Open(const Session& session, std::string_view host, int port,
                                             Scheme scheme) {
  bool ipv6 = host.find(':') != std::string_view::npos;
  bool hostOk = ipv6 ? std::all_of(host.begin(), host.end(),
                                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) ||
                                                       c == ':' || c == '.' || c == '%'; })
                     : IsHostName(host);
  if (host.empty() || !hostOk || port < 1 || port > 65535) {
    Fail(Error::InvalidParameter);
    return nullptr;
  }
  std::unique_ptr<Connection> c(new Connection);
  c->host_ = std::string(host);
  c->port_ = port;
  c->scheme_ = scheme;
  c->connectTimeoutMs_ = session.connectTimeout();
  return c;
}

Connection::~Connection() = default;

// ---------------------------------------------------------------------------

// The transfer of one request: the curl handles, what will be sent, and the
// state of the response as it arrives.
struct Request::Transfer {
  enum class Step { Opened, Sent, HeadersIn, Failed };

  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  Scheme scheme = Scheme::Http;
  std::string origin;  // of the connection the request was opened for
  std::string url;  // of the current hop
  std::string verb;
  std::string body;
  std::vector<std::string> headers;  // "Name: value", as added
  int hops = 0;

  Step step = Step::Opened;
  bool attached = false;  // the easy handle is in the multi handle
  bool done = false;
  CURLcode result = CURLE_OK;

  // Sending.
  bool connected = false;
  curl_off_t uploaded = 0;
  Clock::time_point lastUpload;

  // The response.
  Clock::time_point lastByte;
  std::optional<Clock::time_point> deadline;  // of the whole request
  std::string block;  // header lines of the response being received
  bool headersDone = false;
  int status = 0;
  std::string pending;  // body bytes not read yet, from pendingAt
  std::size_t pendingAt = 0;
  bool paused = false;

  ~Transfer() {
    if (attached) curl_multi_remove_handle(multi, easy);
    // A response read to its end leaves its connection ready for the next
    // request to the same server; anything else closes it.
    if (easy && multi && done && result == CURLE_OK) {
      Pool().Give({easy, multi, origin});
    } else {
      HandlePool::Close({easy, multi, {}});
    }
    curl_slist_free_all(headerList);
  }

  std::size_t Pending() const { return pending.size() - pendingAt; }

  bool FailWith(Error e) {
    step = Step::Failed;
    return Fail(e, errorBuffer);
  }
  bool FailWith(CURLcode c) {
    step = Step::Failed;
    return Fail(FromCurl(c), errorBuffer[0] ? std::string(errorBuffer) : curl_easy_strerror(c));
  }

  void Detach() {
    if (attached) curl_multi_remove_handle(multi, easy);
    attached = false;
  }

  // --- curl callbacks -------------------------------------------------------

  static int OnPrereq(void* self, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(self);
    t->connected = true;
    t->lastUpload = Clock::now();
    return CURL_PREREQFUNC_OK;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    std::string_view line(data, size * count);
    t->lastByte = Clock::now();
    // Trailers after a chunked body are not part of the header block.
    if (t->headersDone) return line.size();
    bool statusLine = line.size() >= 5 && line.substr(0, 5) == "HTTP/";
    // A status line after a complete block starts the next response (after
    // an interim 1xx answer).
    if (statusLine && (t->block.empty() || t->block.ends_with("\r\n\r\n"))) {
      t->block.clear();
      t->status = 0;
      if (auto sp = line.find(' '); sp != std::string_view::npos)
        t->status = std::atoi(std::string(line.substr(sp + 1, 3)).c_str());
    }
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    t->block.append(text);
    t->block.append("\r\n");
    if (text.empty() && t->status >= 200) t->headersDone = true;
    return line.size();
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    t->lastByte = Clock::now();
    if (t->Pending() >= kMaxPending) {
      t->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (t->pendingAt == t->pending.size()) {
      t->pending.clear();
      t->pendingAt = 0;
    }
    t->pending.append(data, size * count);
    return size * count;
  }

  // --- configuration ----------------------------------------------------------

  // Sets the verb and body of the current hop.
  void ApplyVerb() {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    if (verb == "GET" && body.empty()) {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (verb == "HEAD" && body.empty()) {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      if (verb != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }
  }

  bool HasHeader(std::string_view name) const {
    for (const auto& h : headers)
      if (EqualsNoCase(std::string_view(h).substr(0, h.find(':')), name)) return true;
    return false;
  }

  // The added lines in their order; then the headers the library would add
  // by itself and the caller did not ask for are switched off.
  bool ApplyHeaders() {
    curl_slist_free_all(headerList);
    headerList = nullptr;
    std::vector<std::string> lines;
    for (const auto& h : headers) {
      auto colon = h.find(':');
      // The library drops a line with an empty value; "Name;" sends "Name:".
      if (Trim(std::string_view(h).substr(colon + 1)).empty())
        lines.push_back(h.substr(0, colon) + ";");
      else
        lines.push_back(h);
    }
    for (const char* name : {"Accept", "Expect", "Content-Type"})
      if (!HasHeader(name)) lines.push_back(std::string(name) + ":");
    for (const auto& l : lines) {
      curl_slist* next = curl_slist_append(headerList, l.c_str());
      if (!next) return false;
      headerList = next;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    return true;
  }

  // Starts the transfer of the current hop.
  bool Start(int connectTimeoutMs) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, ConnectLimit(connectTimeoutMs));
    ApplyVerb();
    if (!ApplyHeaders()) return FailWith(Error::OutOfMemory);
    connected = false;
    uploaded = 0;
    block.clear();
    headersDone = false;
    status = 0;
    pending.clear();
    pendingAt = 0;
    paused = false;
    done = false;
    result = CURLE_OK;
    errorBuffer[0] = 0;
    lastByte = Clock::now();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) return FailWith(Error::InternalError);
    attached = true;
    return true;
  }

  // --- driving ----------------------------------------------------------------

  enum class Phase { Send, Receive };

  // Runs the transfer until ready() holds or the transfer has ended. False,
  // with the thread's error set, when it failed, or when it stayed idle past
  // the phase's limit (the transfer is then abandoned). While connecting
  // only the connect time-out applies.
  bool Drive(Phase phase, int limitMs, const std::function<bool()>& ready) {
    const auto start = Clock::now();
    for (;;) {
      if (paused && Pending() == 0) {
        paused = false;
        curl_easy_pause(easy, CURLPAUSE_CONT);
      }
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) return FailWith(Error::InternalError);
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
        if (m->msg == CURLMSG_DONE && m->easy_handle == easy) {
          done = true;
          result = m->data.result;
        }
      }
      curl_off_t up = 0;
      curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &up);
      if (up != uploaded) {
        uploaded = up;
        lastUpload = Clock::now();
      }

      if (ready()) return true;
      if (done) return result == CURLE_OK ? true : FailWith(result);

      int waitMs = 1000;
      if (deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        if (left <= 0) {
          Detach();
          return FailWith(Error::Timeout);
        }
        waitMs = static_cast<int>(std::min<long long>(waitMs, left));
      }
      std::optional<Clock::time_point> idleSince;
      if (limitMs > 0) {
        if (phase == Phase::Send && connected) idleSince = std::max(start, lastUpload);
        if (phase == Phase::Receive) idleSince = std::max(start, lastByte);
      }
      if (idleSince) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *idleSince).count();
        if (idle >= limitMs) {
          Detach();
          return FailWith(Error::Timeout);
        }
        waitMs = static_cast<int>(std::min<long long>(waitMs, limitMs - idle));
      }
      if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK)
        return FailWith(Error::InternalError);
    }
  }

  bool SendPhase(int sendTimeoutMs) {
    bool ok = Drive(Phase::Send, sendTimeoutMs, [this] {
      return (connected && uploaded >= static_cast<curl_off_t>(body.size())) || !block.empty() || Pending() > 0;
    });
    return ok;
  }

  // The value of a header line of the current block (empty when missing).
  std::string HeaderValue(std::string_view name) const {
    std::string_view b = block;
    while (!b.empty()) {
      auto eol = b.find("\r\n");
      std::string_view line = b.substr(0, eol);
      auto colon = line.find(':');
      if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name))
        return std::string(Trim(line.substr(colon + 1)));
      if (eol == std::string_view::npos) break;
      b.remove_prefix(eol + 2);
    }
    return {};
  }

  // Where the current answer sends the request next; nullopt when it is to be
  // returned as it is.
  std::optional<std::string> RedirectTarget() const {
    if (!IsRedirect(status)) return std::nullopt;
    std::string location = HeaderValue("Location");
    if (location.empty()) return std::nullopt;
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    std::optional<std::string> target;
    char* out = nullptr;
    char* scheme = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, location.c_str(), CURLU_ALLOW_SPACE) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_URL, &out, CURLU_URLENCODE) == CURLUE_OK) {
      bool http = EqualsNoCase(scheme, "http"), https = EqualsNoCase(scheme, "https");
      // Never from a protected connection to an open one.
      if (https || (http && this->scheme == Scheme::Http)) target = std::string(out);
    }
    curl_free(out);
    curl_free(scheme);
    curl_url_cleanup(u);
    return target;
  }
};

std::unique_ptr<Request> Request::Open(const Connection& connection, std::string_view verb,
                                       std::string_view object) {
  if (!IsToken(verb)) {
    Fail(Error::InvalidParameter);
    return nullptr;
  }
  std::string target = object.empty() ? std::string("/") : std::string(object);
  if (target.front() != '/' ||
      std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
    Fail(Error::InvalidParameter);
    return nullptr;
  }
  // A '#' in the object is a character of the path, not a fragment.
  for (std::size_t p; (p = target.find('#')) != std::string::npos;) target.replace(p, 1, "%23");

  auto t = std::make_unique<Transfer>();
  const std::string& host = connection.host();
  t->origin = std::string(connection.scheme() == Scheme::Https ? "https://" : "http://") +
              (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
              std::to_string(connection.port());
  // The handles of an earlier request to the same server, with its open
  // connection, or new ones.
  Handles kept = Pool().Take(t->origin);
  t->easy = kept.easy ? kept.easy : curl_easy_init();
  t->multi = kept.multi ? kept.multi : curl_multi_init();
  if (!t->easy || !t->multi) {
    Fail(Error::OutOfMemory);
    return nullptr;
  }
  t->scheme = connection.scheme();
  t->verb = std::string(verb);
  t->url = t->origin + target;

  CURL* e = t->easy;
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);  // time-outs without signals: we run on worker threads
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // direct: no proxy from the environment
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are followed here, hop by hop
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Transfer::OnPrereq);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, t.get());
  if (CURLSH* share = SharedDns()) curl_easy_setopt(e, CURLOPT_SHARE, share);

  std::unique_ptr<Request> r(new Request);
  r->connectTimeoutMs_ = connection.connectTimeout();
  r->t_ = std::move(t);
  return r;
}

Request::~Request() = default;

bool Request::AddHeaders(std::string_view text, AddMode mode) {
  if (t_->step != Transfer::Step::Opened) return Fail(Error::IncorrectHandleState);
  std::vector<std::string> lines;
  std::string_view rest = text;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trim(line).empty()) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return Fail(Error::InvalidHeader);
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (!IsToken(name)) return Fail(Error::InvalidHeader);
    if (std::any_of(value.begin(), value.end(), [](char c) {
          auto u = static_cast<unsigned char>(c);
          return (u < 0x20 && c != '\t') || u == 0x7F;
        }))
      return Fail(Error::InvalidHeader);
    lines.push_back(std::string(name) + ": " + std::string(value));
  }
  if (lines.empty()) return Fail(Error::InvalidParameter);
  if (mode == AddMode::AddIfNew) {
    for (const auto& l : lines)
      if (t_->HasHeader(std::string_view(l).substr(0, l.find(':')))) return Fail(Error::HeaderAlreadyExists);
  }
  t_->headers.insert(t_->headers.end(), lines.begin(), lines.end());
  return true;
}

void Request::SetDeadline(std::chrono::steady_clock::time_point deadline) { t_->deadline = deadline; }

bool Request::Send(std::string_view body) {
  if (t_->step != Transfer::Step::Opened) return Fail(Error::IncorrectHandleState);
  t_->body = std::string(body);
  if (!t_->Start(connectTimeoutMs_)) return false;
  if (!t_->SendPhase(sendTimeoutMs_)) return false;
  t_->step = Transfer::Step::Sent;
  return true;
}

bool Request::ReceiveResponse() {
  if (t_->step != Transfer::Step::Sent) return Fail(Error::IncorrectHandleState);
  for (;;) {
    if (!t_->Drive(Transfer::Phase::Receive, receiveTimeoutMs_, [this] { return t_->headersDone; }))
      return false;
    if (!t_->headersDone) return t_->FailWith(Error::InvalidServerResponse);
    if (!followRedirects_) break;
    std::optional<std::string> next = t_->RedirectTarget();
    if (!next) break;
    if (++t_->hops > kMaxRedirects) return t_->FailWith(Error::RedirectFailed);
    // A 303, and a 301 or 302 answering a POST, continue as GET without a body.
    if ((t_->status == 303 && t_->verb != "HEAD") ||
        ((t_->status == 301 || t_->status == 302) && t_->verb == "POST")) {
      t_->verb = "GET";
      t_->body.clear();
    }
    t_->Detach();
    t_->url = *next;
    if (!t_->Start(connectTimeoutMs_) || !t_->SendPhase(sendTimeoutMs_)) {
      t_->step = Transfer::Step::Failed;
      return false;
    }
  }
  t_->step = Transfer::Step::HeadersIn;
  return true;
}

std::optional<int> Request::StatusCode() const {
  if (t_->step != Transfer::Step::HeadersIn) {
    Fail(Error::IncorrectHandleState);
    return std::nullopt;
  }
  return t_->status;
}

std::optional<std::string> Request::RawHeaders() const {
  if (t_->step != Transfer::Step::HeadersIn) {
    Fail(Error::IncorrectHandleState);
    return std::nullopt;
  }
  return t_->block;
}

std::optional<std::size_t> Request::QueryDataAvailable() {
  if (t_->step != Transfer::Step::HeadersIn) {
    Fail(Error::IncorrectHandleState);
    return std::nullopt;
  }
  if (t_->Pending() == 0 && !t_->done) {
    if (!t_->Drive(Transfer::Phase::Receive, receiveTimeoutMs_, [this] { return t_->Pending() > 0; }))
      return std::nullopt;
  }
  if (t_->Pending() == 0 && t_->done && t_->result != CURLE_OK) {
    t_->FailWith(t_->result);
    return std::nullopt;
  }
  return t_->Pending();
}

std::optional<std::size_t> Request::ReadData(std::span<char> buffer) {
  auto available = QueryDataAvailable();
  if (!available) return std::nullopt;
  std::size_t n = std::min(*available, buffer.size());
  if (n > 0) std::memcpy(buffer.data(), t_->pending.data() + t_->pendingAt, n);
  t_->pendingAt += n;
  return n;
}

}  // namespace http
