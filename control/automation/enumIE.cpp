#include "control/automation/enumIE.h"

#include <json/json.h>


#include "platform/codepage.h"
#include "platform/msgbox.h"

namespace {

// Fixed texts of the script operations.
constexpr char kEventScript[] = "window.onbeforeunload=function(){event.returnvalue=null;};";
constexpr char kScriptLanguage[] = "JavaScript";
constexpr char kBlankTarget[] = "_blank";
// "程序异常，请重试" and "YICHANG", in the ANSI code page when shown.
constexpr char kExceptionTextUtf8[] = "\xE7\xA8\x8B\xE5\xBA\x8F\xE5\xBC\x82\xE5\xB8\xB8\xEF\xBC\x8C"
                                      "\xE8\xAF\xB7\xE9\x87\x8D\xE8\xAF\x95";
constexpr char kExceptionCaption[] = "YICHANG";

}  // namespace

std::vector<std::string> GetParamValue(const std::string& text) {
  std::vector<std::string> arguments;
  Json::Value root;
  Json::Reader reader(Json::Features::all());
  // Parse the text (comments allowed); anything else leaves the list empty.
  if (!reader.parse(text, root, false) || !root.isObject()) return arguments;
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

com::ComPtr<engine::Document> windowDocument(engine::Window* window) {
  // 1. The window's own document, when it hands it out.
  com::ComPtr<engine::Document> document;
  if (window->get_document(document.Put()) == com::S_OK && document) return document;
  document.Reset();
  // 2. Otherwise (another site's page, for one) through the browser that shows it.
  com::ComPtr<engine::Browser> browser = windowBrowser(window);
  if (!browser) return nullptr;
  // 3. The browser's document, or none.
  if (com::Failed(browser->get_Document(document.Put()))) return nullptr;
  return document;
}

com::ComPtr<engine::Browser> windowBrowser(engine::Window* window) {
  // 1. The window's service provider.
  auto services = engine::Query<com::IServiceProvider>(window, com::IID_IServiceProvider);
  if (!services) return nullptr;
  // 2. The web browser application service.
  com::ComPtr<engine::Browser> browser;
  if (services->QueryService(com::IID_IWebBrowserApp, com::IID_IWebBrowser2, browser.PutVoid()) !=
      com::S_OK)
    return nullptr;
  return browser;
}

void enumIE::walkFrames(engine::Document* document, WalkRecording recording,
                        const std::function<void(engine::Document*)>& operation) {
  // 1. Nothing to walk without a document.
  if (!document) return;
  // 2. The frames collection.
  com::ComPtr<engine::FramesCollection> frames;
  if (com::Failed(document->get_frames(frames.Put())) || !frames) {
    if (recording.word) *recording.word = STATUS_NO_FRAMES;
    return;
  }
  // 3. The number of frames.
  std::int32_t count = 0;
  if (com::Failed(frames->get_length(&count))) {
    if (recording.word) *recording.word = STATUS_NO_FRAME_COUNT;
    return;
  }
  if (count <= 0) {
    if (recording.word && recording.noFramesIsError) *recording.word = STATUS_NO_FRAME_COUNT;
    return;
  }
  // 4. Each frame in index order; one that cannot be reached is skipped.
  for (std::int32_t i = 0; i < count; ++i) {
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(frames->item(i, item.Put()))) continue;
    auto window = engine::Query<engine::Window>(item.Get(), engine::IID_Window);
    if (!window) continue;
    com::ComPtr<engine::Document> frameDocument = windowDocument(window.Get());
    operation(frameDocument.Get());
  }
  // 5. The collection goes with `frames`.
}

void enumIE::callScript(std::string name, std::vector<std::string> arguments,
                        engine::Document* document) {
  // 1. Nothing without a document.
  if (!document) return;
  try {
    // 2. The document's script object.
    com::ComPtr<engine::Script> script;
    if (com::Failed(document->get_Script(script.Put()))) script.Reset();
    // 3. The frames first, even when this document has no script object.
    callScriptInFrames(name, arguments, document);
    // 4. Nothing more to do without a script object.
    if (!script) return;
    // 5. Look the function up.
    com::DISPID id = com::DISPID_UNKNOWN;
    if (com::Failed(script->GetIDsOfNames(codepage::AnsiToUtf8(name), &id))) {
      nScriptStatus = SCRIPT_NO_FUNCTION;
      return;
    }
    // 6. The arguments as texts for the engine, first argument first: our
    // dispatch takes them in call order, so nothing is reversed here.
    std::vector<std::string> texts;
    texts.reserve(arguments.size());
    for (const std::string& argument : arguments) texts.push_back(codepage::AnsiToUtf8(argument));
    // 7. Call it; its return value is not used.
    com::Variant result;
    com::HRESULT hr = script->Invoke(id, texts, &result);
    // 8. The outcome.
    nScriptStatus = com::Succeeded(hr) ? std::int32_t{STATUS_DONE} : std::int32_t{SCRIPT_CALL_FAILED};
  } catch (...) {
    // 9. An exception anywhere above: record it and tell the user.
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
  // 1. Every frame first.
  closeEventsInFrames(extra, document);
  // 2. The document's window.
  if (!document) return;
  com::ComPtr<engine::Window> window;
  if (com::Failed(document->get_parentWindow(window.Put())) || !window) return;
  // 3. The event script followed by the extra text.
  std::string code = kEventScript + codepage::AnsiToUtf8(extra);
  // 4. Run it there; the outcome does not matter.
  com::Variant result;
  window->execScript(code, kScriptLanguage, &result);
}

void enumIE::closeEventsInFrames(std::string extra, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frameDocument) {
    closeEvents(extra, frameDocument);
  });
}

void enumIE::setLinkTarget(std::string target, engine::Document* document) {
  // 1. Nothing to set up around the work on this platform.
  // 2. Every frame first.
  setLinkTargetInFrames(target, document);
  // 3. The document's links.
  if (!document) return;
  com::ComPtr<engine::ElementCollection> links;
  if (com::Failed(document->get_links(links.Put())) || !links) return;
  std::int32_t count = 0;
  if (com::Failed(links->get_length(&count))) return;
  const std::string newTarget = codepage::AnsiToUtf8(target);
  // 4. Each link whose target is "_blank" in any case gets the new target.
  for (std::int32_t i = 0; i < count; ++i) {
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(links->item(com::Variant(i), com::Variant(i), item.Put())) || !item) continue;
    auto anchor = engine::Query<engine::Anchor>(item.Get(), engine::IID_Anchor);
    if (!anchor) continue;
    std::string current;
    if (com::Failed(anchor->get_target(&current))) continue;
    if (codepage::EqualsNoCase(codepage::Utf8ToAnsi(current), kBlankTarget))
      anchor->put_target(newTarget);
  }
}

void enumIE::setLinkTargetInFrames(std::string target, engine::Document* document) {
  walkFrames(document, {&nEditStatus, false}, [&](engine::Document* frameDocument) {
    setLinkTarget(target, frameDocument);
  });
}
