#include "control/Requests.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "control/ErrorReport.h"
#include "control/Messages.h"
#include "platform/codepage.h"
#include "platform/jsontext.h"
#include "platform/msgbox.h"

namespace {

constexpr const char* kJsonFormatError = "Json数据格式错误，请检查";
constexpr const char* kDebugCaption = "Wendex";
// What a body chunk is read into when nobody keeps it.
constexpr std::size_t kDropBufferSize = 4096;

bool EqualsNoCase(const CString& a, const char* b) { return codepage::EqualsNoCase(a, b); }

// Diagnostic lines go to standard output at once.
template <typename... Args>
void Diagnostic(const char* format, Args... args) {
  std::printf(format, args...);
  std::fflush(stdout);
}

unsigned LastErrorNumber() { return static_cast<unsigned>(http::LastError()); }

using jsontext::TextOf;

const Json::Value& MemberOf(const Json::Value& v, const char* name) {
  static const Json::Value null;
  return v.isObject() && v.isMember(name) ? v[name] : null;
}

// Adds one header line and shows its outcome when diagnostics are on.
bool AddHeaderLine(http::Request& request, const CString& line, http::AddMode mode, short showDebug) {
  bool ok = request.AddHeaders(AnsiToUtf8(line), mode);
  if (showDebug == 1) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "bResults:%d_______", ok ? 1 : 0);
    msgbox::ShowAnsi(kDebugCaption, prefix + line);
  }
  return ok;
}

// The header stage: true when the request's header lines are accepted.
bool AddRequestHeaders(http::Request& request, const CThreadValue& record, bool isPost) {
  const CString& header = record.pPara->sHeader;
  if (header.empty()) {
    if (!isPost) return true;
    return request.AddHeaders(kDefaultContentType, http::AddMode::AddIfNew);
  }
  Json::Value json;
  if (!jsontext::ParseJson(header, &json)) return false;
  bool lastOk = false;
  const Json::Value& lines = MemberOf(json, "arrHeadMessage");
  if (lines.isArray()) {
    for (const auto& entry : lines) {
      // An entry that is not a text is a line the request refuses.
      lastOk = entry.isString() ? AddHeaderLine(request, entry.asString(), http::AddMode::Add, record.nShowDebug)
                                : false;
    }
  }
  if (!isPost) return lines.isArray() && !lines.empty() && lastOk;
  CString contentType = TextOf(MemberOf(json, "Content_Type"));
  return request.AddHeaders(AnsiToUtf8(contentType.empty() ? CString(kDefaultContentType) : contentType),
                            http::AddMode::AddIfNew);
}

// The request, step by step; each failing step ends it with its code.
int RunRequest(CThreadValue& record, bool isPost) {
  const postPara& para = *record.pPara;
  // The address's own scheme and port are used (https with TLS, its port):
  // sending every address in plain text to port 80 leaked what the page
  // meant to protect and reached nothing.
  auto url = http::SplitUrl(para.sUrl);
  if (!url) return REQUEST_NO_SESSION;
  // The session, with the connect time-out.
  auto session = http::Session::Open();
  if (!session) return REQUEST_NO_SESSION;
  session->SetConnectTimeout(record.nTimeOut[1]);
  // The connection object for the host.
  auto connection = http::Connection::Open(*session, url->host, url->port, url->scheme);
  if (!connection) return REQUEST_NO_SESSION;
  // The request.
  auto request = http::Request::Open(*connection, isPost ? "POST" : "GET", url->object);
  if (!request) return REQUEST_NO_REQUEST;
  // Redirects only when the page allows them.
  if (record.nRedirect == 0) request->SetFollowRedirects(false);
  // Header lines.
  if (!AddRequestHeaders(*request, record, isPost)) return REQUEST_BAD_HEADERS;
  // Send time-out.
  request->SetSendTimeout(record.nTimeOut[3]);
  // The body, every byte of it: cutting at a NUL byte corrupted bodies.
  CString body;
  if (isPost) body = EqualsNoCase(record.sCharset, "utf-8") ? AnsiToUtf8(para.sPostPara) : para.sPostPara;
  // Send, then the receive time-outs.
  bool sent = request->Send(body);
  request->SetReceiveTimeout(record.nTimeOut[4]);
  // A send that failed, or no answer in time, ends the request.
  if (!sent) return REQUEST_SEND_FAILED;
  if (!request->ReceiveResponse()) return REQUEST_NO_RESPONSE;
  // Without a status the request still counts as done, with no result.
  if (!request->StatusCode()) {
    ReportLastError();
    return REQUEST_DONE;
  }
  // The raw header block of the final response.
  std::optional<CString> headers = request->RawHeaders();
  // The body, chunk by chunk, every byte kept.
  CString responseBody;
  ReadResponseBody(*request, &responseBody);
  // The headers, and the result the page asked for.
  record.sHeaders = headers.value_or(CString());
  CString result;
  if (para.nGetType == 1) {
    result = EqualsNoCase(record.sCharset, "utf-8") ? Utf8ToAnsi(responseBody) : responseBody;
  } else {
    result = record.sHeaders;
  }
  // A response without headers is told on standard output.
  if (!headers) ReportLastError();
  // The result goes back with the record.
  record.sResult = std::move(result);
  return REQUEST_DONE;
}

unsigned RunWorker(std::unique_ptr<CThreadValue> record, bool isPost) {
  int code = REQUEST_NO_SESSION;
  try {
    code = RunRequest(*record, isPost);
  } catch (const std::exception&) {
    // Nothing leaves a thread; a request that broke counts as not sent.
    code = REQUEST_SEND_FAILED;
  }
  // The outcome goes to the control's window; when that is gone the
  // record is released with the message. The request's handles were
  // closed when RunRequest returned.
  loop::HWND target = record->pCtrl.hWnd;
  loop::PostMessage(target, isPost ? WM_POST_RESULT : WM_GET_RESULT, static_cast<loop::WPARAM>(code),
                    std::move(record));
  return 0;
}

template <typename T>
T LeadingNumber(const CString& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10 + static_cast<unsigned>(text[i] - '0');
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v);
  if (negative) u = static_cast<U>(0u - u);
  return static_cast<T>(u);
}

}  // namespace

short TextToShort(const CString& text) { return LeadingNumber<short>(text); }
std::int32_t TextToInt(const CString& text) { return LeadingNumber<std::int32_t>(text); }

CString AnsiToUtf8(const CString& text) { return codepage::AnsiToUtf8(text); }
CString Utf8ToAnsi(const CString& text) { return codepage::Utf8ToAnsi(text); }

void ParseTimeOut(CThreadValue& record, const CString& text) {
  std::vector<CString> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
    if (i == text.size() - 1) parts.push_back(text.substr(start));
  }
  if (parts.size() != 5) return;
  for (std::size_t i = 0; i < 5; ++i) record.nTimeOut[i] = TextToInt(parts[i]);
}

bool CheckJson(CThreadValue& record, const CString& text, const char* place) {
  if (text.size() < 3) return true;  // too short to be read; accepted as it is
  if (jsontext::ParseJson(text)) return true;
  SendErrorReport(BuildErrorForm(record, place));
  return false;
}

void ParseBackJson(CThreadValue& record, const CString& text) {
  Json::Value json;
  if (!jsontext::ParseJson(text, &json)) {
    msgbox::Show(kDebugCaption, kJsonFormatError);
    return;
  }
  record.jsonBack = std::move(json);
  record.sCharset = TextOf(MemberOf(record.jsonBack, "charset"));
}

unsigned PostThreadProc(std::unique_ptr<CThreadValue> record) { return RunWorker(std::move(record), true); }
unsigned GetThreadProc(std::unique_ptr<CThreadValue> record) { return RunWorker(std::move(record), false); }

namespace {

// The request threads. Each request runs on a thread of its own, as many
// at once as the page starts; a thread whose request has ended waits a
// while for the next one instead of ending, since a page's requests tend to
// follow each other (each started by the previous one's callback), and
// starting a thread costs more than waking one. No thread is ever joined.
class RequestThreads {
 public:
  using Proc = unsigned (*)(std::unique_ptr<CThreadValue>);

  void Start(Proc proc, std::unique_ptr<CThreadValue> record) {
    bool queued = false;
    {
      std::lock_guard lock(mutex_);
      if (idle_ > jobs_.size()) {
        jobs_.push_back({proc, std::move(record)});
        queued = true;
      }
    }
    // A waiting thread takes it (woken once the lock is free), else a new one.
    if (queued) wake_.notify_one();
    else std::thread(&RequestThreads::Run, this, Job{proc, std::move(record)}).detach();
  }

 private:
  struct Job {
    Proc proc = nullptr;
    std::unique_ptr<CThreadValue> record;
  };
  // How long a thread waits for another request before it ends.
  static constexpr auto kIdleLimit = std::chrono::seconds(10);

  void Run(Job job) {
    for (;;) {
      job.proc(std::move(job.record));
      std::unique_lock lock(mutex_);
      ++idle_;
      bool woken = wake_.wait_for(lock, kIdleLimit, [this] { return !jobs_.empty(); });
      --idle_;
      if (!woken) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::size_t idle_ = 0;  // threads waiting for a request
};

}  // namespace

void StartRequestThread(unsigned (*proc)(std::unique_ptr<CThreadValue>), std::unique_ptr<CThreadValue> record) {
  // Lives as long as the process: its threads may outlive every control.
  static auto* threads = new RequestThreads();
  threads->Start(proc, std::move(record));
}

void ReportLastError() { Diagnostic("Error %d has occurred.\n", static_cast<int>(LastErrorNumber())); }

void ReadResponseBody(http::Request& request, CString* body) {
  char dropped[kDropBufferSize];
  for (;;) {
    // How much is there; nothing more ends the body.
    std::optional<std::size_t> available = request.QueryDataAvailable();
    if (!available) {
      Diagnostic("Error %u in WinHttpQueryDataAvailable.\n", LastErrorNumber());
      return;
    }
    if (*available == 0) return;
    // A buffer for it: all of it when it is kept.
    std::vector<char> buffer;
    std::span<char> into(dropped, std::min(*available, sizeof dropped));
    if (body) {
      try {
        buffer.assign(*available + 1, '\0');
      } catch (const std::bad_alloc&) {
        Diagnostic("Out of memory\n");
        return;
      }
      into = std::span<char>(buffer.data(), *available);
    }
    // Read it, and keep every byte.
    std::optional<std::size_t> read = request.ReadData(into);
    if (!read) {
      Diagnostic("Error %u in WinHttpReadData.\n", LastErrorNumber());
      return;
    }
    if (body) body->append(into.data(), *read);
    if (*read == 0) return;
  }
}
