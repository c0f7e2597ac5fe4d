// The control's 27 script methods (texts in the ANSI code page): the HTTP
// requests, the document operations on the hidden browser's page, the
// browser methods, and the calls into the hosting page. The object they
// belong to is in WendexCtrl.cpp.
#include <cstdio>

#include "control/LoadWait.h"
#include "control/Requests.h"
#include "control/WendexCtrl.h"
#include "control/automation/enumIE.h"
#include "platform/codepage.h"
#include "platform/jsontext.h"
#include "platform/msgbox.h"

namespace {

constexpr const char* kVersionText = "1.0.0.15";
constexpr const char* kShortSuppressionScript = "function confirm() {return true;} ; function alert() {}";

}  // namespace

// --- What the methods share ------------------------------------------------

CCtrlRef CWendexCtrl::Ref() const { return CCtrlRef{hwnd(), m_pPage->m_browser.pageLoaded}; }

std::unique_ptr<CWaitValue> CWendexCtrl::NewWaitJob(const CString& appendMsg) const {
  auto job = std::make_unique<CWaitValue>();
  job->sBackJson = appendMsg;
  job->pCtrl = Ref();
  return job;
}

void CWendexCtrl::StartRequest(bool isPost, const CString& HttpUrl, const CString& HttpHeader,
                               const CString& HttpPara, const CString& MakeValue, short GetType,
                               short ISRedirect, const CString& timeOut, const CString& appendMsg) {
  // The record.
  auto record = std::make_unique<CThreadValue>();
  // The diagnostics switch and the texts the record keeps.
  record->nShowDebug = TextToShort(MakeValue);
  record->sHeaders = MakeValue;
  record->sBackJson = appendMsg;
  record->sHandle = MakeValue;
  // The time-outs.
  ParseTimeOut(*record, timeOut);
  // The control to answer, and the request itself.
  record->pCtrl = Ref();
  record->pPara->sHeader = HttpHeader;
  record->pPara->sPostPara = isPost ? HttpPara : CString();
  record->pPara->sUrl = HttpUrl;
  record->pPara->nGetType = GetType;
  record->nRedirect = ISRedirect;
  // A malformed text is reported (the header JSON first, so at most
  // once) and the request refused.
  if (!CheckJson(*record, HttpHeader, kPlaceHeaderJson) || !CheckJson(*record, appendMsg, kPlaceCallbackJson)) {
    // The page hears of it through its "jsonError" function.
    FCallJSF1("", "jsonError", "", "");
    return;
  }
  // The callback JSON, read once it is known to parse; then the worker.
  ParseBackJson(*record, appendMsg);
  StartRequestThread(isPost ? &PostThreadProc : &GetThreadProc, std::move(record));
}

com::ComPtr<engine::Document> CWendexCtrl::HiddenDocument() const {
  return m_pPage ? m_pPage->m_browser.GetDocument() : nullptr;
}

void CWendexCtrl::firstM() { msgbox::ShowAnsi("Wendex", kVersionText, msgbox::MB_OK); }

void CWendexCtrl::FPostM(const CString& HttpUrl, const CString& HttpHeader, const CString& HttpPara,
                         const CString& MakeValue, short GetType, short ISRedirect, const CString& timeOut,
                         const CString& appendMsg) {
  StartRequest(true, HttpUrl, HttpHeader, HttpPara, MakeValue, GetType, ISRedirect, timeOut, appendMsg);
}

void CWendexCtrl::FGetM(const CString& HttpUrl, const CString& HttpHeader, const CString& MakeValue,
                        short GetType, short ISRedirect, const CString& timeOut, const CString& appendMsg) {
  StartRequest(false, HttpUrl, HttpHeader, CString(), MakeValue, GetType, ISRedirect, timeOut, appendMsg);
}

template <typename Operation>
short CWendexCtrl::DocumentMethod(Operation operation) {
  // The common frame: the hidden page's document (none: 1), a fresh worker
  // for this one call, its status word as the result.
  auto doc = HiddenDocument();
  if (!doc) return 1;
  enumIE worker;
  if (!m_pFileSources) m_pFileSources = std::make_unique<CFileSources>();
  worker.pFileSources = m_pFileSources.get();
  return static_cast<short>(operation(worker, doc.Get()));
}

short CWendexCtrl::FFillForm(const CString& FormName, const CString& FormValue, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.fillForm(FormName, FormValue, doc);
    return e.nFillStatus;
  });
}

short CWendexCtrl::FFillFormS(const CString& FormName, const CString& FormValue, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.fillFormSubmit(FormName, FormValue, doc);
    return e.nFillStatus;
  });
}

short CWendexCtrl::FSubmitForm(const CString& FormName, const CString& appendMsg) {
  // The document and the wait's job, before anything else.
  short result = 99;
  auto doc = HiddenDocument();
  auto job = NewWaitJob(appendMsg);
  // The callback description is tested first: a malformed one is refused.
  if (!jsontext::IsJson(appendMsg)) {
    FCallJSF1("", "jsonError", "", "");
    return 99;
  }
  // Only a page completed after this point ends the wait.
  m_pPage->m_browser.pageLoaded->store(0);
  // The submission, in every frame and the document.
  if (doc) {
    enumIE e;
    e.submitForm(FormName, doc.Get());
    result = static_cast<short>(e.nSubmitStatus);
  } else {
    result = 1;
  }
  // The wait starts once the submission has been made.
  StartWaitThread(std::move(job));
  return result;
}

short CWendexCtrl::FAddToBody(const CString& addValue, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.addToBody(addValue, doc);
    return e.nEditStatus;
  });
}

short CWendexCtrl::FAddToForm(const CString& FormName, const CString& NewValue, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.addToForm(FormName, NewValue, doc);
    return e.nEditStatus;
  });
}

short CWendexCtrl::FCallJSF(const CString&, const CString& JSFName, const CString& JSFValue,
                            const CString& appendMsg) {
  // The wait's job and the script's arguments.
  auto job = NewWaitJob(appendMsg);
  std::vector<std::string> args = GetParamValue(JSFValue);
  // The call in every frame of the hidden page, then the page.
  short result = 1;
  if (auto doc = HiddenDocument()) {
    enumIE e;
    e.callScript(JSFName, args, doc.Get());
    result = static_cast<short>(e.nScriptStatus);
  }
  // The flag is cleared after the call; the wait starts with or without a document.
  m_pPage->m_browser.pageLoaded->store(0);
  StartWaitThread(std::move(job));
  return result;
}

short CWendexCtrl::FCallJSF1(const CString&, const CString& JSFName, const CString& JSFValue, const CString&) {
  // The script's arguments.
  std::vector<std::string> args = GetParamValue(JSFValue);
  // The hosting page's document; none: 1.
  if (!m_pHostBrowser) return 1;
  com::ComPtr<engine::Document> doc;
  if (com::Failed(m_pHostBrowser->get_Document(doc.Put())) || !doc) return 1;
  // The hosting page's frames first, then the page; no load wait.
  enumIE e;
  e.callScript(JSFName, args, doc.Get());
  return static_cast<short>(e.nScriptStatus);
}

short CWendexCtrl::FClickLink(const CString& LinkText, const CString& LinkSrc, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.clickLink(LinkSrc, LinkText, doc);
    return e.nLinkStatus;
  });
}

CString CWendexCtrl::FGetSource() {
  auto doc = HiddenDocument();
  if (!doc) return "getSource_error";
  enumIE e;
  return e.getSource(doc.Get());
}

CString CWendexCtrl::FGetSrc() { return m_pPage->m_browser.LocationURL(); }

short CWendexCtrl::FGetStatue() {
  auto doc = HiddenDocument();
  if (!doc) return 1;
  std::string state;
  if (com::Failed(doc->get_readyState(&state))) state = "error";
  // Compared exactly, with case, in this order.
  static constexpr const char* kStates[] = {"uninitialized", "loading", "loaded", "interactive", "complete"};
  for (short i = 0; i < 5; ++i)
    if (state == kStates[i]) return static_cast<short>(100 + i);
  return 99;
}

short CWendexCtrl::FSetSrc(const CString& NewSrc, const CString& appendMsg) {
  // The wait's job, and the flag cleared before the load starts.
  auto job = NewWaitJob(appendMsg);
  m_pPage->m_browser.pageLoaded->store(0);
  // The load.
  m_pPage->m_browser.Navigate(NewSrc);
  // The wait that reports its end.
  StartWaitThread(std::move(job));
  return 99;
}

CString CWendexCtrl::FGetCookie() {
  auto doc = HiddenDocument();
  if (!doc) return {};
  std::string cookie;
  if (com::Failed(doc->get_cookie(&cookie))) return {};
  return codepage::Utf8ToAnsi(cookie);
}

short CWendexCtrl::FSetTarget(const CString& Target, short IsChangeTarget, const CString&) {
  auto doc = HiddenDocument();
  if (doc && IsChangeTarget == 1) {
    enumIE e;
    e.setLinkTarget(Target, doc.Get());
  }
  return IsChangeTarget;
}

short CWendexCtrl::FSetCookie(const CString& NewCookie, const CString&) {
  auto doc = HiddenDocument();
  if (!doc) return 99;
  doc->put_cookie(codepage::AnsiToUtf8(NewCookie));  // whatever the assignment made of it
  return 0;
}

void CWendexCtrl::FClickAction(const CString&, const CString&, const CString&, const CString&) {}

void CWendexCtrl::FIsAlert(short IsAlert, const CString&) {
  if (IsAlert != 0) {
    m_pPage->m_browser.alertSwitch = 1;
    return;
  }
  m_pPage->m_browser.alertSwitch = 0;
  // The current top-level page at once gets the short suppression script.
  auto doc = HiddenDocument();
  if (!doc) return;
  com::ComPtr<engine::Window> window;
  if (com::Failed(doc->get_parentWindow(window.Put())) || !window) return;
  window->execScript(kShortSuppressionScript, "JavaScript", nullptr);
}

// History moves and reloads go through the hidden browser, which starts a
// new browser process when the last one died.
void CWendexCtrl::FRefresh() { m_pPage->m_browser.Refresh(); }
void CWendexCtrl::FBack() { m_pPage->m_browser.GoBack(); }  // no history: nothing happens
void CWendexCtrl::FForward() { m_pPage->m_browser.GoForward(); }

short CWendexCtrl::FChangeAction(const CString& FormName, const CString& ActionValue, const CString&) {
  // A missing document does not end this one: the operation then does nothing.
  auto doc = HiddenDocument();
  enumIE e;
  e.changeAction(FormName, ActionValue, doc.Get());
  return 0;
}

void CWendexCtrl::FClickInput(const CString& type, const CString& name, const CString& value,
                              const CString& appendMsg) {
  // The wait's job, and the flag cleared before the click.
  auto job = NewWaitJob(appendMsg);
  m_pPage->m_browser.pageLoaded->store(0);
  // The click, with or without a document.
  auto doc = HiddenDocument();
  enumIE e;
  e.clickInput(type, name, value, doc.Get());
  // The wait that reports the next page.
  StartWaitThread(std::move(job));
}

void CWendexCtrl::FCloseEvent() {
  DocumentMethod([&](enumIE& e, engine::Document* doc) {
    e.closeEvents("", doc);
    return 0;
  });
}

short CWendexCtrl::FFillForm1(const CString& FormName, const CString& FormValue, short IsChange,
                              const CString& newAction, const CString&) {
  return DocumentMethod([&](enumIE& e, engine::Document* doc) {
    // 1 changes the action instead of filling; that writes no fill status.
    if (IsChange == 1) {
      e.changeAction(FormName, newAction, doc);
    } else {
      e.fillForm(FormName, FormValue, doc);
    }
    return e.nFillStatus;
  });
}
