// Script calls and page hooks: a named global function called in every
// frame and the document (nScriptStatus), the argument list of an argument
// JSON, and the before-unload handlers replaced.
#include <json/json.h>

#include "control/automation/enumIE.h"
#include "platform/codepage.h"
#include "platform/jsontext.h"
#include "platform/msgbox.h"

namespace {

// Fixed texts of the script operations.
constexpr char kEventScript[] = "window.onbeforeunload=function(){event.returnvalue=null;};";
constexpr char kScriptLanguage[] = "JavaScript";
// "程序异常，请重试" and "YICHANG", in the ANSI code page when shown.
constexpr char kExceptionTextUtf8[] = "\xE7\xA8\x8B\xE5\xBA\x8F\xE5\xBC\x82\xE5\xB8\xB8\xEF\xBC\x8C"
                                      "\xE8\xAF\xB7\xE9\x87\x8D\xE8\xAF\x95";
constexpr char kExceptionCaption[] = "YICHANG";

}  // namespace

std::vector<std::string> GetParamValue(const std::string& text) {
  std::vector<std::string> arguments;
  Json::Value root;
  // Parse the text (comments allowed); anything else leaves the list empty.
  if (!jsontext::ParseJson(text, &root) || !root.isObject()) return arguments;
  const Json::Value& list = root["paramValue"];
  if (!list.isArray()) return arguments;
  // Every entry, in order, as text. An entry that is itself a list or an
  // object is passed as its JSON text rather than dropped.
  for (const Json::Value& entry : list) {
    if (entry.isConvertibleTo(Json::stringValue)) {
      arguments.push_back(entry.asString());
    } else {
      Json::StreamWriterBuilder writer;
      writer["indentation"] = "";
      arguments.push_back(Json::writeString(writer, entry));
    }
  }
  return arguments;
}

void enumIE::callScript(std::string name, std::vector<std::string> arguments,
                        engine::Document* document) {
  // Nothing without a document.
  if (!document) return;
  try {
    // The document's script object.
    com::ComPtr<engine::Script> script;
    if (com::Failed(document->get_Script(script.Put()))) script.Reset();
    // The frames first, even when this document has no script object.
    callScriptInFrames(name, arguments, document);
    // Nothing more to do without a script object.
    if (!script) return;
    // Look the function up.
    com::DISPID id = com::DISPID_UNKNOWN;
    if (com::Failed(script->GetIDsOfNames(codepage::AnsiToUtf8(name), &id))) {
      nScriptStatus = SCRIPT_NO_FUNCTION;
      return;
    }
    // The arguments as texts for the engine, first argument first: our
    // dispatch takes them in call order, so nothing is reversed here.
    std::vector<std::string> texts;
    texts.reserve(arguments.size());
    for (const std::string& argument : arguments) texts.push_back(codepage::AnsiToUtf8(argument));
    // Call it; its return value is not used.
    com::Variant result;
    com::HRESULT hr = script->Invoke(id, texts, &result);
    // The outcome.
    nScriptStatus = com::Succeeded(hr) ? std::int32_t{STATUS_DONE} : std::int32_t{SCRIPT_CALL_FAILED};
  } catch (...) {
    // An exception anywhere above: record it and tell the user.
    nScriptStatus = STATUS_EXCEPTION;
    msgbox::ShowAnsi(kExceptionCaption, codepage::Utf8ToAnsi(kExceptionTextUtf8), msgbox::MB_OK);
  }
}

void enumIE::callScriptInFrames(std::string name, std::vector<std::string> arguments,
                                engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frameDocument) {
    callScript(name, arguments, frameDocument);
  });
}

void enumIE::closeEvents(std::string extra, engine::Document* document) {
  // Every frame first.
  closeEventsInFrames(extra, document);
  // The document's window.
  if (!document) return;
  com::ComPtr<engine::Window> window;
  if (com::Failed(document->get_parentWindow(window.Put())) || !window) return;
  // The event script followed by the extra text.
  std::string code = kEventScript + codepage::AnsiToUtf8(extra);
  // Run it there; the outcome does not matter.
  com::Variant result;
  window->execScript(code, kScriptLanguage, &result);
}

void enumIE::closeEventsInFrames(std::string extra, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frameDocument) {
    closeEvents(extra, frameDocument);
  });
}
