// An in-memory test double of the engine interface: documents with frames,
// global functions and links, and switches for the failures that no real
// engine can be made to produce on demand (a frames collection that cannot
// be had, an unreadable frame count, a failing item, a window that does not
// hand out its document).
#pragma once

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/dom.h"

namespace testdouble {

using com::HRESULT;

// Every object of the double counts its references with the common base.
template <typename... Faces>
using Counted = com::RefCounted<Faces...>;

template <typename T, typename... Args>
com::ComPtr<T> Make(Args&&... args) {
  return com::MakeRef<T>(std::forward<Args>(args)...);
}

// Every call the double sees, in order, e.g. "A1:visit(x,y)" or "top:exec ...".
using Log = std::vector<std::string>;

class TestDoubleAnchor final : public Counted<engine::Anchor> {
 public:
  explicit TestDoubleAnchor(std::string target) : target(std::move(target)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Anchor) return Give<engine::Anchor>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_href(std::string* href) override {
    *href = "http://example.test/";
    return com::S_OK;
  }
  HRESULT get_target(std::string* value) override {
    if (readFails) return com::E_FAIL;
    *value = target;
    return com::S_OK;
  }
  HRESULT put_target(std::string_view value) override {
    target = value;
    return com::S_OK;
  }

  std::string target;
  bool readFails = false;
};

// A link list whose entries are anchors or (when null) some other element.
class TestDoubleLinks final : public Counted<engine::ElementCollection> {
 public:
  explicit TestDoubleLinks(std::vector<com::ComPtr<com::IUnknown>> items) : items_(std::move(items)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_ElementCollection)
      return Give<engine::ElementCollection>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_length(std::int32_t* length) override {
    *length = static_cast<std::int32_t>(items_.size());
    return com::S_OK;
  }
  HRESULT item(const com::Variant& name, const com::Variant&, com::IUnknown** element) override {
    auto* i = std::get_if<std::int32_t>(&name);
    if (!i || *i < 0 || *i >= static_cast<std::int32_t>(items_.size())) return com::E_INVALIDARG;
    *element = com::ComPtr<com::IUnknown>(items_[*i]).Detach();
    return com::S_OK;
  }

 private:
  std::vector<com::ComPtr<com::IUnknown>> items_;
};

// An element that is not an anchor.
class TestDoubleSpan final : public Counted<com::IUnknown> {
 public:
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown) return Give<com::IUnknown>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
};

// An input of a form: its type and value, and a log line "click NAME#i".
class TestDoubleInput final : public Counted<engine::Element, engine::Input> {
 public:
  TestDoubleInput(std::string type, std::string value, std::string label, Log* log)
      : type(std::move(type)), value(std::move(value)), label(std::move(label)), log(log) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Element) return Give<engine::Element>(this, out);
    if (iid == engine::IID_Input) return Give<engine::Input>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  // Element
  HRESULT get_tagName(std::string* tag) override {
    *tag = "INPUT";
    return com::S_OK;
  }
  HRESULT click() override {
    log->push_back("click " + label);
    return com::S_OK;
  }
  HRESULT get_innerText(std::string* text) override {
    text->clear();
    return com::S_OK;
  }
  HRESULT insertAdjacentHTML(std::string_view, std::string_view) override { return com::E_NOTIMPL; }
  HRESULT GetProperty(std::string_view, com::Variant*) override { return com::DISP_E_UNKNOWNNAME; }
  // Input
  HRESULT get_type(std::string* out) override {
    *out = type;
    return com::S_OK;
  }
  HRESULT get_name(std::string* out) override {
    *out = label;
    return com::S_OK;
  }
  HRESULT get_value(std::string* out) override {
    *out = value;
    return com::S_OK;
  }
  HRESULT put_value(std::string_view v) override {
    log->push_back("value " + label + "=" + std::string(v));
    value = v;
    return com::S_OK;
  }
  HRESULT SetFiles(std::span<const std::string> paths) override {
    std::string line = "files " + label + "=";
    for (std::size_t i = 0; i < paths.size(); ++i) line += (i ? "|" : "") + paths[i];
    log->push_back(line);
    return com::S_OK;
  }

  std::string type, value, label;
  Log* log;
};

// A form whose fields are lists of members by name: fields[name][i] is the
// i-th element of that name; a null member is an item call that fails.
class TestDoubleForm final : public Counted<engine::Form> {
 public:
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Form) return Give<engine::Form>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_name(std::string* name) override {
    *name = "f";
    return com::S_OK;
  }
  HRESULT get_length(std::int32_t* length) override {
    *length = static_cast<std::int32_t>(fields.size());
    return com::S_OK;
  }
  // Past the end of a list: S_OK with nothing, as an engine answers.
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    *element = nullptr;
    const auto* n = std::get_if<std::string>(&name);
    const auto* i = std::get_if<std::int32_t>(&index);
    if (!n || !i) return com::E_INVALIDARG;
    auto it = fields.find(*n);
    if (it == fields.end() || *i >= static_cast<std::int32_t>(it->second.size())) return com::S_OK;
    const auto& member = it->second[*i];
    if (!member) return com::E_FAIL;
    *element = com::ComPtr<com::IUnknown>(member).Detach();
    return com::S_OK;
  }
  HRESULT submit() override { return com::S_OK; }
  HRESULT get_action(std::string* action) override {
    action->clear();
    return com::S_OK;
  }
  HRESULT put_action(std::string_view) override { return com::S_OK; }
  HRESULT FillFields(std::span<const engine::FieldValue> pieces, std::int32_t,
                     std::vector<engine::FieldOutcome>* outcomes) override {
    return batch ? batch(pieces, outcomes) : com::E_NOTIMPL;
  }

  std::map<std::string, std::vector<com::ComPtr<com::IUnknown>>> fields;
  // When set, answers the batched fill: for a batch that fails half-way,
  // which no real engine can be made to do on demand.
  std::function<HRESULT(std::span<const engine::FieldValue>, std::vector<engine::FieldOutcome>*)> batch;
};

class TestDoubleDocument;

// How one frame of a document can be reached.
struct Frame {
  com::ComPtr<TestDoubleDocument> document;
  bool itemFails = false;          // the collection's item call fails
  bool notAWindow = false;         // the item is no window
  bool getDocumentFails = false;   // the window refuses its document...
  bool getDocumentEmpty = false;   // ...or answers S_OK with none
  bool noServiceProvider = false;  // the window has no browser route
  bool noBrowser = false;          // the route gives no browser
};

class TestDoubleDocument final : public Counted<engine::Document> {
 public:
  TestDoubleDocument(std::string name, Log* log) : name(std::move(name)), log(log) {}

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Document) return Give<engine::Document>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_Script(engine::Script** script) override;
  HRESULT get_frames(engine::FramesCollection** frames) override;
  HRESULT get_forms(engine::ElementCollection**) override { return com::E_NOTIMPL; }
  HRESULT get_links(engine::ElementCollection** out) override {
    *out = Make<TestDoubleLinks>(links).Detach();
    return com::S_OK;
  }
  HRESULT get_all(engine::ElementCollection**) override { return com::E_NOTIMPL; }
  HRESULT get_body(engine::Element**) override { return com::E_NOTIMPL; }
  HRESULT get_parentWindow(engine::Window** window) override;
  HRESULT get_readyState(std::string* state) override {
    *state = "complete";
    return com::S_OK;
  }
  HRESULT get_URL(std::string* url) override {
    *url = "http://example.test/" + name;
    return com::S_OK;
  }
  HRESULT get_cookie(std::string* cookie) override {
    cookie->clear();
    return com::S_OK;
  }
  HRESULT put_cookie(std::string_view) override { return com::S_OK; }
  HRESULT get_charset(std::string* charset) override {
    *charset = "UTF-8";
    return com::S_OK;
  }
  HRESULT Save(std::vector<std::uint8_t>* source) override {
    source->clear();
    return com::S_OK;
  }

  // Builders.
  TestDoubleDocument& AddFrame(Frame frame) {
    frames.push_back(std::move(frame));
    return *this;
  }
  // A function that logs "name:function(arg,arg)" and answers `hr`.
  TestDoubleDocument& Define(const std::string& function, HRESULT hr = com::S_OK) {
    functions[function] = [this, function, hr](const std::vector<std::string>& args) {
      std::string line = name + ":" + function + "(";
      for (std::size_t i = 0; i < args.size(); ++i) line += (i ? "," : "") + args[i];
      log->push_back(line + ")");
      return hr;
    };
    return *this;
  }

  std::string name;
  Log* log;
  std::vector<Frame> frames;
  bool hasScript = true;
  bool framesFail = false;      // get_frames fails
  bool lengthFails = false;     // the collection's get_length fails
  std::map<std::string, std::function<HRESULT(const std::vector<std::string>&)>> functions;
  std::vector<com::ComPtr<com::IUnknown>> links;
};

class TestDoubleScript final : public Counted<engine::Script> {
 public:
  explicit TestDoubleScript(com::ComPtr<TestDoubleDocument> document) : doc_(std::move(document)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Script) return Give<engine::Script>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    auto it = doc_->functions.find(std::string(name));
    if (it == doc_->functions.end()) return com::DISP_E_UNKNOWNNAME;
    names_.push_back(it->first);
    *id = static_cast<com::DISPID>(names_.size());
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, const std::vector<std::string>& args, com::Variant*) override {
    if (id < 1 || id > static_cast<com::DISPID>(names_.size())) return com::DISP_E_MEMBERNOTFOUND;
    return doc_->functions[names_[id - 1]](args);
  }

 private:
  com::ComPtr<TestDoubleDocument> doc_;
  std::vector<std::string> names_;
};

class TestDoubleBrowser final : public Counted<engine::Browser> {
 public:
  explicit TestDoubleBrowser(com::ComPtr<TestDoubleDocument> document) : doc_(std::move(document)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Browser) return Give<engine::Browser>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_Document(engine::Document** document) override {
    *document = com::ComPtr<engine::Document>::Share(doc_.Get()).Detach();
    return com::S_OK;
  }
  HRESULT get_LocationURL(std::string* url) override { return doc_->get_URL(url); }
  HRESULT get_ReadyState(std::int32_t* state) override {
    *state = engine::READYSTATE_COMPLETE;
    return com::S_OK;
  }
  HRESULT Navigate(std::string_view) override { return com::S_OK; }
  HRESULT Refresh() override { return com::S_OK; }
  HRESULT GoBack() override { return com::S_OK; }
  HRESULT GoForward() override { return com::S_OK; }
  HRESULT put_Silent(bool) override { return com::S_OK; }
  HRESULT Advise(engine::BrowserEvents*) override { return com::E_NOTIMPL; }

 private:
  com::ComPtr<TestDoubleDocument> doc_;
};

// A frame's window (or a document's own), with the routes its Frame allows.
class TestDoubleWindow final : public Counted<engine::Window, com::IServiceProvider> {
 public:
  TestDoubleWindow(com::ComPtr<TestDoubleDocument> document, Frame how)
      : doc_(std::move(document)), how_(std::move(how)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Window) return Give<engine::Window>(this, out);
    if (iid == com::IID_IServiceProvider && !how_.noServiceProvider)
      return Give<com::IServiceProvider>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_document(engine::Document** document) override {
    *document = nullptr;
    if (how_.getDocumentFails) return engine::E_ACCESSDENIED;
    if (how_.getDocumentEmpty) return com::S_OK;
    *document = com::ComPtr<engine::Document>::Share(doc_.Get()).Detach();
    return com::S_OK;
  }
  HRESULT execScript(std::string_view code, std::string_view language, com::Variant*) override {
    doc_->log->push_back(doc_->name + ":exec[" + std::string(language) + "] " + std::string(code));
    return com::S_OK;
  }
  HRESULT QueryService(const com::GUID& service, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (how_.noBrowser || service != com::IID_IWebBrowserApp || iid != com::IID_IWebBrowser2)
      return com::E_NOINTERFACE;
    *out = static_cast<engine::Browser*>(Make<TestDoubleBrowser>(doc_).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<TestDoubleDocument> doc_;
  Frame how_;
};

class TestDoubleFrames final : public Counted<engine::FramesCollection> {
 public:
  explicit TestDoubleFrames(com::ComPtr<TestDoubleDocument> document) : doc_(std::move(document)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_FramesCollection)
      return Give<engine::FramesCollection>(this, out);
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT get_length(std::int32_t* length) override {
    if (doc_->lengthFails) return com::E_FAIL;
    *length = static_cast<std::int32_t>(doc_->frames.size());
    return com::S_OK;
  }
  HRESULT item(std::int32_t index, com::IUnknown** frame) override {
    *frame = nullptr;
    if (index < 0 || index >= static_cast<std::int32_t>(doc_->frames.size())) return com::E_INVALIDARG;
    const Frame& f = doc_->frames[index];
    if (f.itemFails) return com::E_FAIL;
    if (f.notAWindow) {
      *frame = Make<TestDoubleSpan>().Detach();
      return com::S_OK;
    }
    *frame = static_cast<engine::Window*>(Make<TestDoubleWindow>(f.document, f).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<TestDoubleDocument> doc_;
};

inline HRESULT TestDoubleDocument::get_Script(engine::Script** script) {
  *script = nullptr;
  if (!hasScript) return com::S_OK;
  *script = Make<TestDoubleScript>(com::ComPtr<TestDoubleDocument>::Share(this)).Detach();
  return com::S_OK;
}

inline HRESULT TestDoubleDocument::get_frames(engine::FramesCollection** out) {
  *out = nullptr;
  if (framesFail) return com::E_FAIL;
  *out = Make<TestDoubleFrames>(com::ComPtr<TestDoubleDocument>::Share(this)).Detach();
  return com::S_OK;
}

inline HRESULT TestDoubleDocument::get_parentWindow(engine::Window** window) {
  *window = Make<TestDoubleWindow>(com::ComPtr<TestDoubleDocument>::Share(this), Frame{}).Detach();
  return com::S_OK;
}

}  // namespace testdouble
