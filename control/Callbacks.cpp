#include "control/Callbacks.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "control/JsonText.h"
#include "control/Messages.h"
#include "control/automation/enumIE.h"
#include "platform/msgbox.h"

namespace {

CString TextOf(const Json::Value& v) {
  if (v.isString() || v.isNumeric() || v.isBool()) return v.asString();
  return {};
}

Callback FromList(const CString& text, const char* member) {
  Callback cb;
  Json::Value json;
  if (!wendex::ParseJson(text, &json) || !json.isObject()) return cb;
  const Json::Value& list = json[member];
  if (!list.isArray()) return cb;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    if (i == 0) {
      cb.name = TextOf(list[i]);  // a null entry gives the empty name
    } else {
      cb.args.push_back(TextOf(list[i]));
    }
  }
  return cb;
}

}  // namespace

Callback GetCallback1(const CString& text) { return FromList(text, "callback_1"); }
Callback GetCallback2(const CString& text) { return FromList(text, "callback_2"); }

Callback GetRequestCallback(const Json::Value& jsonBack, const char* member) {
  Callback cb;
  if (!jsonBack.isObject() || !jsonBack[member].isObject()) return cb;
  const Json::Value& m = jsonBack[member];
  cb.name = TextOf(m["fn"]);
  if (m["para"].isArray())
    for (const auto& p : m["para"]) cb.args.push_back(TextOf(p));
  return cb;
}

unsigned WaitThreadProc(std::unique_ptr<CWaitValue> job) {
  auto& flag = *job->pCtrl.pageLoaded;
  // 1-2. Poll, and take the flag when it is set: testing and clearing are
  //      one step, so of two waits only one sees a load; the other goes on.
  int loaded = 0;
  for (int i = 0; i < kWaitPolls; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    std::uint8_t expected = 1;
    if (flag.compare_exchange_strong(expected, 0)) {
      loaded = 1;
      break;
    }
  }
  // 3.
  loop::HWND target = job->pCtrl.hWnd;
  return loop::PostMessage(target, WM_WAIT_RESULT, static_cast<loop::WPARAM>(loaded), std::move(job)) ? 1 : 0;
}

void StartWaitThread(std::unique_ptr<CWaitValue> job) { std::thread(WaitThreadProc, std::move(job)).detach(); }

void CallHostFunction(engine::Browser* hostBrowser, const Callback& callback) {
  if (!hostBrowser) return;
  com::ComPtr<engine::Document> doc;
  if (com::Failed(hostBrowser->get_Document(doc.Put())) || !doc) return;
  enumIE e;
  e.callScript(callback.name, callback.args, doc.Get());
}

void ShowNumber(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", n);
  msgbox::Show("Wendex", text);
}
