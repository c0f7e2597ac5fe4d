#include "control/ErrorReport.h"

#include <chrono>

#include "control/ServiceHost.h"
#include "platform/http.h"

namespace {

// The report is sent on the page's thread before the method returns, so a
// service that does not answer would freeze the agent's page. The whole
// report (connecting, sending, the answer and its body) gets three
// seconds: a working service answers a small form in a fraction of that
// even from far away, and a page held for longer feels frozen.
constexpr auto kReportLimit = std::chrono::seconds(3);

// Percent-encodes a form value: the body is declared
// application/x-www-form-urlencoded, and unescaped values containing "&"
// or "=" split into fields the service could not tell apart.
CString FormEncode(const CString& value) {
  static const char* hex = "0123456789ABCDEF";
  CString out;
  for (unsigned char c : value) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '*') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The report's post, step by step; false at the first step that fails.
bool PostErrorForm(const CString& form) {
  const auto deadline = std::chrono::steady_clock::now() + kReportLimit;
  // The service's error-report page, at the service's own scheme and port.
  auto url = http::SplitUrl(wendex::ServiceOrigin() + kErrorReportPath);
  if (!url) return false;
  // Session, connection and request, with the platform's default time-outs
  // under the report's own bound.
  auto session = http::Session::Open();
  if (!session) return false;
  auto connection = http::Connection::Open(*session, url->host, url->port, url->scheme);
  if (!connection) return false;
  auto request = http::Request::Open(*connection, "POST", url->object);
  if (!request) return false;
  request->SetDeadline(deadline);
  // The form, declared as one, sent, and its answer awaited.
  if (!request->AddHeaders(kDefaultContentType, http::AddMode::AddIfNew)) return false;
  if (!request->Send(form)) return false;
  if (!request->ReceiveResponse()) return false;
  // The answer's status and headers read, its body read and dropped.
  if (!request->StatusCode() || !request->RawHeaders()) return false;
  ReadResponseBody(*request, nullptr);
  return true;
}

}  // namespace

CString BuildErrorForm(const CThreadValue& record, const CString& place) {
  return "sUrl=" + FormEncode(record.pPara->sUrl) + "&arrHeadMessage=" + FormEncode(record.pPara->sHeader) +
         "&sPostPara=" + FormEncode(record.pPara->sPostPara) + "&sHandle=" + FormEncode(record.sHandle) +
         "&sBackJson=" + FormEncode(record.sBackJson) + "&sErroPlace=" + FormEncode(place);
}

void SendErrorReport(const CString& form) {
  if (!PostErrorForm(form)) ReportLastError();
}
