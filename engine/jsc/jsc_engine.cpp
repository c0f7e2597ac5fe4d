#include "engine/jsc/jsc_engine.h"

#include <cmath>
#include <memory>
#include <vector>

#include "platform/codepage.h"

namespace engine::jsc {

namespace {

using com::HRESULT;

struct Unref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
using Value = std::unique_ptr<JSCValue, Unref>;
using Context = std::unique_ptr<JSCContext, Unref>;
using Frame = std::unique_ptr<WebKitFrame, Unref>;

// A weak reference to a frame: it empties itself when the frame goes.
class WeakFrame {
 public:
  explicit WeakFrame(WebKitFrame* frame) { g_weak_ref_init(&ref_, frame); }
  ~WeakFrame() { g_weak_ref_clear(&ref_); }
  WeakFrame(const WeakFrame&) = delete;
  WeakFrame& operator=(const WeakFrame&) = delete;
  // The frame with a reference, or null once it has gone.
  Frame Get() { return Frame(static_cast<WebKitFrame*>(g_weak_ref_get(&ref_))); }

 private:
  GWeakRef ref_;
};

Value Ref(JSCValue* v) { return Value(v ? JSC_VALUE(g_object_ref(v)) : nullptr); }

JSCContext* ContextOf(JSCValue* v) { return jsc_value_get_context(v); }

bool IsObject(JSCValue* v) { return v && jsc_value_is_object(v); }

std::string Text(JSCValue* v) {
  if (!v || jsc_value_is_undefined(v) || jsc_value_is_null(v)) return {};
  g_autofree gchar* s = jsc_value_to_string(v);
  return s ? s : "";
}

// A property of an object; null when reading it threw.
Value Get(JSCValue* object, const char* name, bool* threw = nullptr) {
  CatchScope scope(ContextOf(object));
  Value v(jsc_value_object_get_property(object, name));
  if (threw) *threw = scope.thrown();
  if (scope.thrown()) return nullptr;
  return v;
}

bool Set(JSCValue* object, const char* name, JSCValue* value) {
  CatchScope scope(ContextOf(object));
  jsc_value_object_set_property(object, name, value);
  return !scope.thrown();
}

Value NewText(JSCContext* context, std::string_view text) {
  g_autoptr(GBytes) bytes = g_bytes_new(text.data(), text.size());
  return Value(jsc_value_new_string_from_bytes(context, bytes));
}

bool SetText(JSCValue* object, const char* name, std::string_view text) {
  Value v = NewText(ContextOf(object), text);
  return Set(object, name, v.get());
}

// Calls a method of an object with the given arguments; null when it threw.
Value Invoke(JSCValue* object, const char* method, std::vector<JSCValue*> args, bool* threw) {
  CatchScope scope(ContextOf(object));
  Value result(jsc_value_object_invoke_methodv(object, method, args.size(), args.data()));
  *threw = scope.thrown();
  return scope.thrown() ? nullptr : std::move(result);
}

// Evaluates a helper function in the context of `near` and calls it.
Value CallHelper(JSCValue* near, const char* source, std::vector<JSCValue*> args, bool* threw) {
  JSCContext* context = ContextOf(near);
  CatchScope scope(context);
  Value function(jsc_context_evaluate(context, source, -1));
  Value result;
  if (!scope.thrown() && function && jsc_value_is_function(function.get()))
    result.reset(jsc_value_function_callv(function.get(), args.size(), args.data()));
  *threw = scope.thrown() || !function;
  return *threw ? nullptr : std::move(result);
}

// `a === b`, for objects of any two contexts of the process.
bool SameObject(JSCValue* a, JSCValue* b) {
  bool threw = false;
  Value same = CallHelper(a, "(function(a,b){return a===b;})", {a, b}, &threw);
  return !threw && same && jsc_value_to_boolean(same.get());
}

// The frame registry.
std::vector<std::unique_ptr<WeakFrame>>& Frames() {
  static auto* frames = new std::vector<std::unique_ptr<WeakFrame>>();
  return *frames;
}

// The frame whose window is `window`, or null.
Frame FrameOfWindow(JSCValue* window) {
  for (auto& ref : Frames()) {
    Frame frame = ref->Get();
    if (!frame) continue;
    Context context(webkit_frame_get_js_context(frame.get()));
    Value global(context ? jsc_context_get_global_object(context.get()) : nullptr);
    if (global && SameObject(window, global.get())) return frame;
  }
  return nullptr;
}

template <typename T, typename... Args>
T* New(Args&&... args) {
  return com::MakeRef<T>(std::forward<Args>(args)...).Detach();
}

// The value every object of this back end wraps, with the reads and calls they share.
template <typename... Faces>
class Wrapper : public com::RefCounted<Faces...> {
 protected:
  explicit Wrapper(JSCValue* value) : value_(Ref(value)) {}
  HRESULT None(void** out) { return com::RefCounted<Faces...>::NoInterface(out); }
  template <typename T>
  HRESULT Give(T* face, void** out) {
    return com::RefCounted<Faces...>::template Give<T>(face, out);
  }
  HRESULT GetText(const char* name, std::string* out) {
    bool threw = false;
    Value v = Get(value_.get(), name, &threw);
    if (threw) return com::DISP_E_EXCEPTION;
    *out = Text(v.get());
    return com::S_OK;
  }
  HRESULT PutText(const char* name, std::string_view text) {
    return SetText(value_.get(), name, text) ? com::S_OK : com::DISP_E_EXCEPTION;
  }
  // The "length" of the value (a list, a form, a window's frames).
  HRESULT Length(std::int32_t* length) {
    bool threw = false;
    Value v = Get(value_.get(), "length", &threw);
    if (threw || !v || !jsc_value_is_number(v.get())) return com::E_FAIL;
    *length = jsc_value_to_int32(v.get());
    return com::S_OK;
  }
  HRESULT Call(const char* method, std::vector<JSCValue*> args = {}) {
    bool threw = false;
    Invoke(value_.get(), method, std::move(args), &threw);
    return threw ? com::DISP_E_EXCEPTION : com::S_OK;
  }

  Value value_;
};

// The element of a collection: a number picks by position, a text by id or
// name (the index-th such element). An empty text finds nothing: every
// element without an id would match it.
constexpr char kItemHelper[] =
    "(function(c,n,i){"
    "if(typeof n==='number')return c[n]||null;"
    "n=String(n);if(n==='')return null;i=(typeof i==='number')?i:0;var k=0;"
    "for(var j=0;j<c.length;j++){var e=c[j];"
    "if(e&&(e.id===n||(e.getAttribute&&e.getAttribute('name')===n))){if(k++===i)return e;}}"
    "return null;})";

HRESULT CollectionItem(JSCValue* collection, const com::Variant& name, const com::Variant& index,
                       com::IUnknown** out);

class JscElement final : public Wrapper<Element, Form, Input, Anchor> {
 public:
  explicit JscElement(JSCValue* value) : Wrapper(value) {
    bool threw = false;
    tag_ = Text(Get(value, "tagName", &threw).get());
    for (char& c : tag_) c = static_cast<char>(g_ascii_toupper(c));
  }

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_Element) return Give<Element>(this, out);
    if (iid == IID_Form && tag_ == "FORM") return Give<Form>(this, out);
    if (iid == IID_Input && tag_ == "INPUT") return Give<Input>(this, out);
    if (iid == IID_Anchor && tag_ == "A") return Give<Anchor>(this, out);
    return None(out);
  }

  // Element
  HRESULT get_tagName(std::string* tag) override {
    *tag = tag_;
    return com::S_OK;
  }
  HRESULT click() override { return Call("click"); }
  HRESULT get_innerText(std::string* text) override { return GetText("innerText", text); }
  HRESULT insertAdjacentHTML(std::string_view where, std::string_view html) override {
    JSCContext* context = ContextOf(value_.get());
    Value w = NewText(context, where), h = NewText(context, html);
    return Call("insertAdjacentHTML", {w.get(), h.get()});
  }
  HRESULT GetProperty(std::string_view name, com::Variant* value) override {
    std::string key(name);
    if (key.empty() || !jsc_value_object_has_property(value_.get(), key.c_str()))
      return com::DISP_E_UNKNOWNNAME;
    bool threw = false;
    Value v = Get(value_.get(), key.c_str(), &threw);
    if (threw) return com::DISP_E_EXCEPTION;
    *value = ToVariant(v.get());
    return com::S_OK;
  }

  // Form
  HRESULT get_name(std::string* name) override { return GetText("name", name); }
  HRESULT get_length(std::int32_t* length) override { return Length(length); }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** out) override {
    bool threw = false;
    Value elements = Get(value_.get(), "elements", &threw);
    if (!IsObject(elements.get())) return com::E_FAIL;
    return CollectionItem(elements.get(), name, index, out);
  }
  HRESULT submit() override {
    // The prototype's submit, since a control named "submit" hides the form's own.
    bool threw = false;
    CallHelper(value_.get(), "(function(f){HTMLFormElement.prototype.submit.call(f);})",
               {value_.get()}, &threw);
    return threw ? com::DISP_E_EXCEPTION : com::S_OK;
  }
  HRESULT get_action(std::string* action) override { return GetText("action", action); }
  HRESULT put_action(std::string_view action) override { return PutText("action", action); }

  // Input
  HRESULT get_type(std::string* type) override { return GetText("type", type); }
  HRESULT get_value(std::string* value) override { return GetText("value", value); }
  HRESULT put_value(std::string_view value) override { return PutText("value", value); }
  // A hosted page's engine gives the page's script no way to hand a file
  // input files, and so none to us.
  HRESULT SetFiles(std::span<const std::string>) override { return com::E_NOTIMPL; }

  // Anchor
  HRESULT get_href(std::string* href) override { return GetText("href", href); }
  HRESULT get_target(std::string* target) override { return GetText("target", target); }
  HRESULT put_target(std::string_view target) override { return PutText("target", target); }

 private:
  std::string tag_;
};

HRESULT CollectionItem(JSCValue* collection, const com::Variant& name, const com::Variant& index,
                       com::IUnknown** out) {
  *out = nullptr;
  JSCContext* context = ContextOf(collection);
  Value n(FromVariant(context, name)), i(FromVariant(context, index));
  bool threw = false;
  Value e = CallHelper(collection, kItemHelper, {collection, n.get(), i.get()}, &threw);
  if (threw) return com::DISP_E_EXCEPTION;
  if (IsObject(e.get())) *out = static_cast<Element*>(New<JscElement>(e.get()));
  return com::S_OK;
}

class JscCollection final : public Wrapper<ElementCollection> {
 public:
  explicit JscCollection(JSCValue* value) : Wrapper(value) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_ElementCollection) return Give<ElementCollection>(this, out);
    return None(out);
  }
  HRESULT get_length(std::int32_t* length) override { return Length(length); }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** out) override {
    return CollectionItem(value_.get(), name, index, out);
  }
};

class JscBrowser;

class JscScript final : public Wrapper<Script> {
 public:
  // `window` is the global scope whose functions are called.
  explicit JscScript(JSCValue* window) : Wrapper(window) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_Script) return Give<Script>(this, out);
    return None(out);
  }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    std::string key(name);
    if (key.empty()) return com::DISP_E_UNKNOWNNAME;
    Value f = Get(value_.get(), key.c_str());
    if (!f || !jsc_value_is_function(f.get())) return com::DISP_E_UNKNOWNNAME;
    names_.push_back(std::move(key));
    *id = static_cast<com::DISPID>(names_.size());
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, const std::vector<std::string>& args, com::Variant* result) override {
    if (id < 1 || id > static_cast<com::DISPID>(names_.size())) return com::DISP_E_MEMBERNOTFOUND;
    Value f = Get(value_.get(), names_[id - 1].c_str());
    if (!f || !jsc_value_is_function(f.get())) return com::DISP_E_MEMBERNOTFOUND;
    JSCContext* context = ContextOf(f.get());
    std::vector<Value> held;
    std::vector<JSCValue*> params;
    for (const std::string& a : args) {
      held.push_back(NewText(context, a));
      params.push_back(held.back().get());
    }
    CatchScope scope(context);
    Value r(jsc_value_function_callv(f.get(), params.size(), params.data()));
    if (scope.thrown()) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.get());
    return com::S_OK;
  }

 private:
  std::vector<std::string> names_;
};

class JscWindow final : public Wrapper<Window, com::IServiceProvider> {
 public:
  explicit JscWindow(JSCValue* value) : Wrapper(value) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_Window) return Give<Window>(this, out);
    if (iid == com::IID_IServiceProvider) return Give<com::IServiceProvider>(this, out);
    return None(out);
  }
  HRESULT get_document(Document** document) override;
  HRESULT execScript(std::string_view code, std::string_view language, com::Variant* result) override {
    if (!codepage::EqualsNoCase(language, "JavaScript")) return com::E_INVALIDARG;
    JSCContext* context = ContextOf(value_.get());
    Value global(jsc_context_get_global_object(context));
    Value r;
    bool threw = false;
    if (SameObject(value_.get(), global.get())) {
      // The window of this very context: evaluate here.
      CatchScope scope(context);
      r.reset(jsc_context_evaluate(context, std::string(code).c_str(), static_cast<gssize>(code.size())));
      threw = scope.thrown();
    } else {
      // Another window reached from here: its own eval runs in its global scope.
      Value c = NewText(context, code);
      r = Invoke(value_.get(), "eval", {c.get()}, &threw);
    }
    if (threw) return com::DISP_E_EXCEPTION;
    if (result) *result = ToVariant(r.get());
    return com::S_OK;
  }
  HRESULT QueryService(const com::GUID& service, const com::IID& iid, void** out) override {
    *out = nullptr;
    if (service != com::IID_IWebBrowserApp || iid != com::IID_IWebBrowser2) return com::E_NOINTERFACE;
    Frame frame = FrameOfWindow(value_.get());
    if (!frame) return com::E_FAIL;
    *out = BrowserOfFrame(frame.get()).Detach();
    return com::S_OK;
  }
};

class JscFrames final : public Wrapper<FramesCollection> {
 public:
  explicit JscFrames(JSCValue* window) : Wrapper(window) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_FramesCollection) return Give<FramesCollection>(this, out);
    return None(out);
  }
  HRESULT get_length(std::int32_t* length) override { return Length(length); }
  HRESULT item(std::int32_t index, com::IUnknown** frame) override {
    *frame = nullptr;
    if (index < 0) return com::E_INVALIDARG;
    CatchScope scope(ContextOf(value_.get()));
    Value w(jsc_value_object_get_property_at_index(value_.get(), static_cast<guint>(index)));
    if (scope.thrown()) return com::DISP_E_EXCEPTION;
    if (!IsObject(w.get())) return com::E_INVALIDARG;
    *frame = static_cast<Window*>(New<JscWindow>(w.get()));
    return com::S_OK;
  }
};

class JscDocument final : public Wrapper<Document> {
 public:
  explicit JscDocument(JSCValue* value) : Wrapper(value) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_Document) return Give<Document>(this, out);
    return None(out);
  }
  HRESULT get_Script(Script** script) override {
    *script = nullptr;
    Value view = Get(value_.get(), "defaultView");
    if (IsObject(view.get())) *script = New<JscScript>(view.get());
    return com::S_OK;
  }
  HRESULT get_frames(FramesCollection** frames) override {
    *frames = nullptr;
    Value view = Get(value_.get(), "defaultView");
    if (!IsObject(view.get())) return com::E_FAIL;
    *frames = New<JscFrames>(view.get());
    return com::S_OK;
  }
  HRESULT get_forms(ElementCollection** out) override { return Collection("forms", out); }
  HRESULT get_links(ElementCollection** out) override { return Collection("links", out); }
  HRESULT get_all(ElementCollection** out) override {
    *out = nullptr;
    // Not document.all: that collection pretends to be undefined.
    bool threw = false;
    Value star = NewText(ContextOf(value_.get()), "*");
    Value all = Invoke(value_.get(), "getElementsByTagName", {star.get()}, &threw);
    if (threw) return com::DISP_E_EXCEPTION;
    if (IsObject(all.get())) *out = New<JscCollection>(all.get());
    return com::S_OK;
  }
  HRESULT get_body(Element** body) override {
    *body = nullptr;
    Value b = Get(value_.get(), "body");
    if (IsObject(b.get())) *body = New<JscElement>(b.get());
    return com::S_OK;
  }
  HRESULT get_parentWindow(Window** window) override {
    *window = nullptr;
    Value view = Get(value_.get(), "defaultView");
    if (IsObject(view.get())) *window = New<JscWindow>(view.get());
    return com::S_OK;
  }
  HRESULT get_readyState(std::string* state) override { return GetText("readyState", state); }
  HRESULT get_URL(std::string* url) override { return GetText("URL", url); }
  HRESULT get_cookie(std::string* cookie) override { return GetText("cookie", cookie); }
  HRESULT put_cookie(std::string_view cookie) override { return PutText("cookie", cookie); }
  HRESULT get_charset(std::string* charset) override { return GetText("characterSet", charset); }
  HRESULT Save(std::vector<std::uint8_t>* source) override {
    bool threw = false;
    Value html = CallHelper(
        value_.get(),
        "(function(d){var t=d.doctype?new XMLSerializer().serializeToString(d.doctype)+'\\n':'';"
        "return t+(d.documentElement?d.documentElement.outerHTML:'');})",
        {value_.get()}, &threw);
    if (threw) return com::DISP_E_EXCEPTION;
    std::string charset;
    GetText("characterSet", &charset);
    std::string text = Text(html.get());
    bool ok = true;
    std::string bytes = charset.empty() ? text : codepage::Convert(text, "UTF-8", charset.c_str(), &ok);
    if (!ok) bytes = text;
    source->assign(bytes.begin(), bytes.end());
    return com::S_OK;
  }

 private:
  HRESULT Collection(const char* name, ElementCollection** out) {
    *out = nullptr;
    bool threw = false;
    Value c = Get(value_.get(), name, &threw);
    if (threw) return com::DISP_E_EXCEPTION;
    if (IsObject(c.get())) *out = New<JscCollection>(c.get());
    return com::S_OK;
  }
};

HRESULT JscWindow::get_document(Document** document) {
  *document = nullptr;
  bool threw = false;
  Value d = Get(value_.get(), "document", &threw);
  // Another site's window refuses its document.
  if (threw) return E_ACCESSDENIED;
  if (IsObject(d.get())) *document = New<JscDocument>(d.get());
  return com::S_OK;
}

class JscBrowser final : public Wrapper<Browser> {
 public:
  explicit JscBrowser(WebKitFrame* frame) : Wrapper(nullptr), frame_(frame) {}

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == IID_Browser || iid == com::IID_IWebBrowserApp)
      return Give<Browser>(this, out);
    return None(out);
  }
  HRESULT get_Document(Document** document) override {
    *document = nullptr;
    Value d = Global("document");
    if (!d) return E_GONE;
    if (IsObject(d.get())) *document = New<JscDocument>(d.get());
    return com::S_OK;
  }
  HRESULT get_LocationURL(std::string* url) override {
    Frame frame = frame_.Get();
    if (!frame) return E_GONE;
    const char* uri = webkit_frame_get_uri(frame.get());
    *url = uri ? uri : "";
    return com::S_OK;
  }
  HRESULT get_ReadyState(std::int32_t* state) override {
    Value d = Global("document");
    if (!IsObject(d.get())) return E_GONE;
    std::string s = Text(Get(d.get(), "readyState").get());
    *state = s == "complete"      ? READYSTATE_COMPLETE
             : s == "interactive" ? READYSTATE_INTERACTIVE
                                  : READYSTATE_LOADING;
    return com::S_OK;
  }
  HRESULT Navigate(std::string_view url) override {
    Value location = Global("location");
    if (!IsObject(location.get())) return E_GONE;
    return SetText(location.get(), "href", url) ? com::S_OK : com::DISP_E_EXCEPTION;
  }
  HRESULT Refresh() override { return CallOn("location", "reload"); }
  HRESULT GoBack() override { return CallOn("history", "back"); }
  HRESULT GoForward() override { return CallOn("history", "forward"); }

 private:
  // A global of the frame's current context; null when the frame is gone.
  Value Global(const char* name) {
    Frame frame = frame_.Get();
    if (!frame) return nullptr;
    Context context(webkit_frame_get_js_context(frame.get()));
    if (!context) return nullptr;
    CatchScope scope(context.get());
    Value v(jsc_context_get_value(context.get(), name));
    return scope.thrown() ? nullptr : std::move(v);
  }
  HRESULT CallOn(const char* global, const char* method) {
    Value object = Global(global);
    if (!IsObject(object.get())) return E_GONE;
    bool threw = false;
    Invoke(object.get(), method, {}, &threw);
    return threw ? com::DISP_E_EXCEPTION : com::S_OK;
  }

  WeakFrame frame_;
};

}  // namespace

CatchScope::CatchScope(JSCContext* context) : context_(context) {
  jsc_context_push_exception_handler(context_, &CatchScope::OnException, this, nullptr);
}

CatchScope::~CatchScope() { jsc_context_pop_exception_handler(context_); }

void CatchScope::OnException(JSCContext*, JSCException* exception, gpointer self) {
  auto* scope = static_cast<CatchScope*>(self);
  scope->thrown_ = true;
  const char* message = jsc_exception_get_message(exception);
  scope->message_ = message ? message : "";
}

void RegisterFrame(WebKitFrame* frame) {
  auto& frames = Frames();
  // Drop frames that have gone; keep one entry per frame.
  for (auto it = frames.begin(); it != frames.end();) {
    Frame f = (*it)->Get();
    if (!f) {
      it = frames.erase(it);
      continue;
    }
    if (f.get() == frame) return;
    ++it;
  }
  frames.push_back(std::make_unique<WeakFrame>(frame));
}

com::ComPtr<engine::Browser> BrowserOfFrame(WebKitFrame* frame) {
  return com::ComPtr<engine::Browser>::Adopt(New<JscBrowser>(frame));
}

com::Variant ToVariant(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return std::monostate{};
  if (jsc_value_is_null(value)) return com::Null{};
  if (jsc_value_is_boolean(value)) return static_cast<bool>(jsc_value_to_boolean(value));
  if (jsc_value_is_number(value)) return jsc_value_to_double(value);
  return Text(value);
}

JSCValue* FromVariant(JSCContext* context, const com::Variant& value) {
  if (std::holds_alternative<std::monostate>(value)) return jsc_value_new_undefined(context);
  if (std::holds_alternative<com::Null>(value)) return jsc_value_new_null(context);
  if (auto* b = std::get_if<bool>(&value)) return jsc_value_new_boolean(context, *b);
  if (auto* i = std::get_if<std::int32_t>(&value)) return jsc_value_new_number(context, *i);
  if (auto* d = std::get_if<double>(&value)) return jsc_value_new_number(context, *d);
  return NewText(context, std::get<std::string>(value)).release();
}

}  // namespace engine::jsc
