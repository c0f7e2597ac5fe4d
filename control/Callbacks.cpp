#include "control/Callbacks.h"

#include <cstdio>

#include "platform/jsontext.h"
#include "control/automation/enumIE.h"
#include "platform/msgbox.h"

namespace {

using jsontext::TextOf;

Callback FromList(const CString& text, const char* member) {
  Callback cb;
  Json::Value json;
  if (!jsontext::ParseJson(text, &json) || !json.isObject()) return cb;
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
