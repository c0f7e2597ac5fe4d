// The road back to the hosting page: the JSON layouts that name the
// page's callback functions and their arguments, and the call itself.
// The load wait that leads to most of these calls is in LoadWait.h.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "control/LoadWait.h"
#include "control/Requests.h"
#include "engine/dom.h"

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

// Calls a function of the hosting page (and of its frames) through its
// browser's current document; nothing happens without browser or document.
void CallHostFunction(engine::Browser* hostBrowser, const Callback& callback);

// A diagnostic box with a number.
void ShowNumber(int n);
