// HTTP requests made for the page: the request record, its validation and
// the worker threads that send it. A malformed JSON text is reported to
// the service by the error report (ErrorReport.h).
#pragma once

#include <json/json.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/http.h"
#include "platform/loop.h"

using CString = std::string;

// What a worker thread knows of its control: the window its outcome goes
// to and the hidden browser's page-loaded flag. Neither keeps the control
// alive; a message for a window that is gone is dropped with its record.
struct CCtrlRef {
  loop::HWND hWnd = 0;
  std::shared_ptr<std::atomic<std::uint8_t>> pageLoaded;
};

// The request description.
struct postPara {
  CString sUrl;       // HttpUrl
  CString sHeader;    // HttpHeader: the header JSON
  CString sPostPara;  // HttpPara: the POST body; empty for GET
  short nGetType = 0; // 1: the result is the body; otherwise the raw response headers
};

// Completion codes of a request.
enum RequestCode : int {
  REQUEST_DONE = 0,
  REQUEST_NO_SESSION = 1,   // session or connection could not be made
  REQUEST_NO_REQUEST = 2,   // the request could not be opened
  REQUEST_BAD_HEADERS = 3,  // a header line was refused, or the header JSON is unusable
  REQUEST_SEND_FAILED = 4,  // connecting, name resolution, sending, the send time-out
  REQUEST_NO_RESPONSE = 5,  // nothing arrived in time
};

// The record of one request: filled on the page's thread, owned by its
// worker, handed back with the completion message and freed by its handler.
struct CThreadValue : loop::Record {
  CThreadValue() : pPara(std::make_unique<postPara>()) { nTimeOut.fill(10000); }
  std::unique_ptr<postPara> pPara;
  CCtrlRef pCtrl;
  CString sResult;
  std::array<std::int32_t, 5> nTimeOut{};  // 2: connect, 4: send, 5: receive
  CString sBackJson;                       // appendMsg
  CString sHeaders;                        // MakeValue, then the raw response headers
  CString sHandle;                         // MakeValue
  short nShowDebug = 0;                    // 1: diagnostic boxes
  Json::Value jsonBack;                    // appendMsg parsed
  CString sCharset;                        // "charset" of appendMsg
  short nRedirect = 0;                     // 0: redirects are not followed
};

// The leading decimal number of a text (blanks and a sign allowed before
// it, 0 when there is none), wrapped to 16 or 32 bits.
short TextToShort(const CString& text);
std::int32_t TextToInt(const CString& text);

void ParseTimeOut(CThreadValue& record, const CString& text);
// True when the text is usable; otherwise reports it to the service.
bool CheckJson(CThreadValue& record, const CString& text, const char* place);
void ParseBackJson(CThreadValue& record, const CString& text);

// Between the system's ANSI code page and UTF-8.
CString AnsiToUtf8(const CString& text);
CString Utf8ToAnsi(const CString& text);

// The workers: send the request, then post WM_POST_RESULT / WM_GET_RESULT
// with the completion code and the record.
unsigned PostThreadProc(std::unique_ptr<CThreadValue> record);
unsigned GetThreadProc(std::unique_ptr<CThreadValue> record);
// Starts a worker on a thread of its own (one that ended its last request
// and waits for another, or a new one); the thread is not waited for.
void StartRequestThread(unsigned (*proc)(std::unique_ptr<CThreadValue>), std::unique_ptr<CThreadValue> record);

// What the request and the error report share: a body sent as a form ...
inline constexpr const char* kDefaultContentType = "Content-Type: application/x-www-form-urlencoded \r\n";
// ... the response body read chunk by chunk, every byte kept in *body
// (dropped when it is null), a failing read told on standard output ...
void ReadResponseBody(http::Request& request, CString* body);
// ... and the diagnostic line of a failed step, with the last error.
void ReportLastError();

// Where CheckJson found the malformed text, as the error report names it.
inline constexpr const char* kPlaceHeaderJson = "headerJson";
inline constexpr const char* kPlaceCallbackJson = "callbacjson";
