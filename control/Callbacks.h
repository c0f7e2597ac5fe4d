// The road back to the hosting page: load waits, and the JSON layouts that
// name the page's callback functions and their arguments.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "control/Requests.h"
#include "engine/dom.h"

// The record of one load wait: owned by its waiting thread, then by the
// handler of its outcome.
struct CWaitValue : loop::Record {
  CWaitValue() : pPara(std::make_unique<postPara>()) {}
  CString sBackJson;               // the method's appendMsg
  std::unique_ptr<postPara> pPara; // not used by the wait
  CCtrlRef pCtrl;
};

// A function of the hosting page to call, with its text arguments.
struct Callback {
  CString name;
  std::vector<CString> args;
};

// "callback_1" / "callback_2" of a load wait's JSON: entry 0 the name, the rest its arguments.
Callback GetCallback1(const CString& text);
Callback GetCallback2(const CString& text);
// "sComeBack" / "sTimeOut" of a request's parsed JSON: "fn" and "para".
Callback GetRequestCallback(const Json::Value& jsonBack, const char* member);

// Polls the page-loaded flag every 300 ms, at most 30 times, then posts
// WM_WAIT_RESULT (1 when the flag was seen set, and then cleared) with the job.
unsigned WaitThreadProc(std::unique_ptr<CWaitValue> job);
void StartWaitThread(std::unique_ptr<CWaitValue> job);

inline constexpr int kWaitPollMs = 300;
inline constexpr int kWaitPolls = 30;

// Calls a function of the hosting page (and of its frames) through its
// browser's current document; nothing happens without browser or document.
void CallHostFunction(engine::Browser* hostBrowser, const Callback& callback);

// A diagnostic box with a number.
void ShowNumber(int n);
