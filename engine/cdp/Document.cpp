#include "engine/cdp/Document.h"

#include "engine/cdp/Element.h"
#include "platform/codepage.h"

namespace cdp {

namespace {

using com::HRESULT;

// A name that can be looked up as a plain identifier of the global scope.
bool IsIdentifier(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

// The global scope of a frame's main-world context.
class ScriptImpl final : public com::RefCounted<engine::Script> {
 public:
  ScriptImpl(com::ComPtr<PageImpl> page, Context context) : page_(std::move(page)), context_(std::move(context)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Script) return Give<engine::Script>(this, out);
    return NoInterface(out);
  }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    // Looked up as an identifier, so that top-level let, const and class
    // declarations are found as well as properties of the global object.
    if (!IsIdentifier(name)) return com::DISP_E_UNKNOWNNAME;
    const protocol::ScriptResult r = Run(protocol::Evaluate("typeof " + std::string(name) + " === 'function'",
                                                            context_.id, true));
    if (r.outcome == protocol::ScriptResult::Gone) return engine::E_GONE;
    if (!r.value().asBool()) return com::DISP_E_UNKNOWNNAME;
    names_.emplace_back(name);
    *id = static_cast<com::DISPID>(names_.size());
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, const std::vector<std::string>& args, com::Variant* result) override {
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return com::DISP_E_MEMBERNOTFOUND;
    const protocol::ScriptResult r = Run(protocol::CallFunctionInContext(
        context_.id, "function(...a){ return " + names_[id - 1] + "(...a); }", args));
    if (r.outcome == protocol::ScriptResult::Gone) return engine::E_GONE;
    if (r.outcome == protocol::ScriptResult::Threw) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.remote);
    return com::S_OK;
  }

 private:
  protocol::ScriptResult Run(const protocol::Command& command) {
    return protocol::ReadScriptResult(page_->process()->Call(page_->generation(), command, context_.session));
  }

  com::ComPtr<PageImpl> page_;
  Context context_;
  std::vector<std::string> names_;
};

// The browser that shows a frame: it hands out the frame's document even
// where the parent's script may not reach it.
class FrameBrowserImpl final : public com::RefCounted<engine::Browser> {
 public:
  FrameBrowserImpl(com::ComPtr<PageImpl> page, std::string frameId) : page_(std::move(page)), frameId_(std::move(frameId)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Browser) return Give<engine::Browser>(this, out);
    return NoInterface(out);
  }
  HRESULT get_Document(engine::Document** document) override { return page_->DocumentOf(frameId_, document); }
  HRESULT get_LocationURL(std::string* url) override {
    *url = page_->UrlOf(frameId_);
    return com::S_OK;
  }

 private:
  com::ComPtr<PageImpl> page_;
  std::string frameId_;
};

// The window of a frame (or of the top level).
class WindowImpl final : public com::RefCounted<engine::Window, com::IServiceProvider> {
 public:
  WindowImpl(com::ComPtr<PageImpl> page, std::string frameId, bool reachable)
      : page_(std::move(page)), frameId_(std::move(frameId)), reachable_(reachable) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_Window) return Give<engine::Window>(this, out);
    if (iid == com::IID_IServiceProvider) return Give<com::IServiceProvider>(this, out);
    return NoInterface(out);
  }
  HRESULT get_document(engine::Document** document) override {
    *document = nullptr;
    // The parent's script may not reach another site's document: neither may we.
    if (!reachable_) return engine::E_ACCESSDENIED;
    return page_->DocumentOf(frameId_, document);
  }
  HRESULT execScript(std::string_view code, std::string_view language, com::Variant* result) override {
    if (!codepage::EqualsNoCase(language, "JavaScript")) return com::E_INVALIDARG;
    const Context* context = page_->ContextOf(frameId_);
    if (!context) return engine::E_GONE;
    const protocol::ScriptResult r = protocol::ReadScriptResult(page_->process()->Call(
        page_->generation(), protocol::Evaluate(code, context->id, true), context->session));
    if (r.outcome == protocol::ScriptResult::Gone) return engine::E_GONE;
    if (r.outcome == protocol::ScriptResult::Threw) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.remote);
    return com::S_OK;
  }
  HRESULT QueryService(const com::GUID& service, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (service != com::IID_IWebBrowserApp && service != com::SID_STopLevelBrowser) return com::E_NOINTERFACE;
    if (iid != com::IID_IWebBrowser2 && iid != com::IID_IUnknown) return com::E_NOINTERFACE;
    *out = static_cast<engine::Browser*>(com::MakeRef<FrameBrowserImpl>(page_, frameId_).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<PageImpl> page_;
  std::string frameId_;
  bool reachable_;
};

// A document's frames, in the order of window.frames.
class FramesImpl final : public com::RefCounted<engine::FramesCollection> {
 public:
  explicit FramesImpl(com::ComPtr<DocumentImpl> document) : document_(std::move(document)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_FramesCollection) return Give<engine::FramesCollection>(this, out);
    return NoInterface(out);
  }
  HRESULT get_length(std::int32_t* length) override {
    Json::Value v;
    HRESULT hr = document_->handle().CallOn("function(){return this.defaultView ? this.defaultView.frames.length : -1;}",
                                            Json::Value(Json::arrayValue), true, &v);
    if (com::Failed(hr)) return hr;
    // The page may have replaced window.length with anything: only a whole number counts.
    *length = v["value"].isInt() ? v["value"].asInt() : -1;
    return *length < 0 ? com::E_FAIL : com::S_OK;
  }
  HRESULT item(std::int32_t index, com::IUnknown** frame) override {
    *frame = nullptr;
    const RemoteHandle& doc = document_->handle();
    // The frame element whose window is frames[i]; window identity holds
    // across sites.
    std::string elementId;
    HRESULT hr = doc.CallOn(
        "function(i){ const w = this.defaultView; const f = w && w.frames[i]; if (!f) return null;"
        " for (const e of this.querySelectorAll('iframe,frame')) if (e.contentWindow === f) return e;"
        " return null; }",
        Args(index), false, nullptr, &elementId);
    if (com::Failed(hr)) return hr;
    if (elementId.empty()) return com::E_INVALIDARG;
    // The frame it shows, and whether this document's script may reach it.
    std::unique_ptr<RemoteHandle> element = doc.Sibling(elementId);
    const Reply described = doc.process().Call(doc.generation(), protocol::DescribeNode(elementId), doc.session());
    if (!described.ok) return engine::E_GONE;
    const std::string frameId = protocol::ReadNodeFrameId(described);
    if (frameId.empty()) return com::E_FAIL;
    Json::Value reach;
    doc.CallOn("function(i){ try { return !!this.defaultView.frames[i].document; } catch (e) { return false; } }",
               Args(index), true, &reach);
    const bool reachable = reach["value"].asBool();
    *frame = static_cast<engine::Window*>(com::MakeRef<WindowImpl>(document_->page(), frameId, reachable).Detach());
    return com::S_OK;
  }

 private:
  com::ComPtr<DocumentImpl> document_;
};

}  // namespace

DocumentImpl::DocumentImpl(com::ComPtr<PageImpl> page, std::string frameId, Context context,
                           std::unique_ptr<RemoteHandle> handle)
    : page_(std::move(page)), frameId_(std::move(frameId)), context_(std::move(context)), handle_(std::move(handle)) {}

com::HRESULT DocumentImpl::QueryInterface(const com::IID& iid, void** out) {
  if (iid == com::IID_IUnknown || iid == engine::IID_Document) return Give<engine::Document>(this, out);
  return NoInterface(out);
}

HRESULT DocumentImpl::get_Script(engine::Script** script) {
  *script = com::MakeRef<ScriptImpl>(page_, context_).Detach();
  return com::S_OK;
}

HRESULT DocumentImpl::get_frames(engine::FramesCollection** frames) {
  *frames = com::MakeRef<FramesImpl>(Self()).Detach();
  return com::S_OK;
}

HRESULT DocumentImpl::get_forms(engine::ElementCollection** forms) {
  return Collection("function(){return this.forms;}", forms);
}

HRESULT DocumentImpl::get_links(engine::ElementCollection** links) {
  return Collection("function(){return this.links;}", links);
}

HRESULT DocumentImpl::get_all(engine::ElementCollection** all) {
  return Collection("function(){return this.getElementsByTagName('*');}", all);
}

HRESULT DocumentImpl::get_body(engine::Element** body) {
  *body = nullptr;
  std::string id;
  HRESULT hr = handle_->CallOn("function(){return this.body;}", Json::Value(Json::arrayValue), false, nullptr, &id);
  if (com::Failed(hr)) return hr;
  *body = MakeElement(Self(), *handle_, id).Detach();
  return com::S_OK;
}

HRESULT DocumentImpl::get_parentWindow(engine::Window** window) {
  *window = com::MakeRef<WindowImpl>(page_, frameId_, true).Detach();
  return com::S_OK;
}

HRESULT DocumentImpl::get_readyState(std::string* state) {
  return handle_->TextOf("function(){return this.readyState;}", state);
}

HRESULT DocumentImpl::get_URL(std::string* url) { return handle_->TextOf("function(){return this.URL;}", url); }

HRESULT DocumentImpl::get_cookie(std::string* cookie) {
  return handle_->TextOf("function(){return this.cookie;}", cookie);
}

HRESULT DocumentImpl::put_cookie(std::string_view cookie) {
  return handle_->Effect("function(c){this.cookie = c;}", Args(std::string(cookie)));
}

// The charset under the platform's names: the two UTF-16 forms are
// "unicode" and "unicodeFFFE" there; every other name is the engine's.
HRESULT DocumentImpl::get_charset(std::string* charset) {
  HRESULT hr = EncodingName(charset);
  if (codepage::EqualsNoCase(*charset, "UTF-16LE")) *charset = "unicode";
  else if (codepage::EqualsNoCase(*charset, "UTF-16BE")) *charset = "unicodeFFFE";
  return hr;
}

HRESULT DocumentImpl::Save(std::vector<std::uint8_t>* source) {
  std::string url, charset;
  if (HRESULT hr = get_URL(&url); com::Failed(hr)) return hr;
  EncodingName(&charset);
  // The source as the browser received it; bytes that came base64 are kept as they are.
  auto content = protocol::ReadResourceContent(
      page_->process()->Call(page_->generation(), protocol::GetResourceContent(frameId_, url), handle_->session()));
  if (content && content->base64) {
    *source = protocol::DecodeBase64(content->content);
    return com::S_OK;
  }
  std::string text;
  if (content) {
    text = content->content;
  } else {
    // Documents without a resource of their own (blank and error pages):
    // their markup as it stands.
    HRESULT hr = handle_->TextOf("function(){return this.documentElement ? this.documentElement.outerHTML : '';}", &text);
    if (com::Failed(hr)) return hr;
  }
  // Text comes as UTF-8: back into the page's own charset.
  bool ok = false;
  std::string bytes;
  if (!charset.empty() && !codepage::EqualsNoCase(charset, "UTF-8"))
    bytes = codepage::Convert(text, "UTF-8", charset.c_str(), &ok);
  if (!ok) bytes = text;
  source->assign(bytes.begin(), bytes.end());
  return com::S_OK;
}

HRESULT DocumentImpl::EncodingName(std::string* charset) {
  return handle_->TextOf("function(){return this.characterSet;}", charset);
}

HRESULT DocumentImpl::Collection(std::string_view function, engine::ElementCollection** out) {
  // Asked for by each call on it: a document always has these lists.
  *out = MakeCollection(Self(), std::string(function)).Detach();
  return com::S_OK;
}

com::ComPtr<engine::Document> MakeDocument(com::ComPtr<PageImpl> page, const std::string& frameId,
                                           const Context& context, std::unique_ptr<RemoteHandle> handle) {
  return com::MakeRef<DocumentImpl>(std::move(page), frameId, context, std::move(handle));
}

}  // namespace cdp
