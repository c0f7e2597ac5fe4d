#include "engine/cdp/Element.h"

namespace cdp {

namespace {

using com::HRESULT;

// The (name, index) lookup of a collection in the platform's manner. An
// empty name finds nothing: every element without an id would match it.
constexpr const char* kItemFunction =
    "function(name, index, byName) {"
    "  const list = this.elements || this;"
    "  if (!byName) return list[name] || null;"
    "  if (name === '') return null;"
    "  let seen = 0;"
    "  for (const e of Array.from(list)) {"
    "    if (e.id === name || (e.getAttribute && e.getAttribute('name') === name)) {"
    "      if (seen++ === index) return e;"
    "    }"
    "  }"
    "  return null;"
    "}";

// The batched operations of the engine interface, each one function run
// in the page with the list (or the form) as `this`. They make the same
// reads, clicks and writes as the per-element calls of this file, in the
// same order, inside one evaluation. Outcomes come back as one digit per
// entry or piece, in order.

// Texts that compare ignoring case fold the ASCII letters only.
constexpr const char* kFoldFunction = "const fold = (s) => s.replace(/[A-Z]+/g, (c) => c.toLowerCase());";
// What the element faces are: a tag, as get_tagName gives it.
constexpr const char* kTagFunction = "const tag = (e) => String(e.tagName || '').toUpperCase();";

// Digits of engine::LinkOutcome, in the order of its values.
constexpr const char* kClickAnchorsByText =
    "function(text) {"
    "  const out = [];"
    "  const n = this.length | 0;"
    "  for (let i = 0; i < n; i++) {"
    "    try {"
    "      const e = this[i] || null;"
    "      if (!e || tag(e) !== 'A') { out.push(0); continue; }"
    "      if (String(e.innerText === undefined ? e.textContent : e.innerText) !== text) { out.push(1); continue; }"
    "      e.click();"
    "      out.push(2);"
    "    } catch (x) { out.push(3); break; }"
    "  }"
    "  return out.join('');"
    "}";

// The position clicked, or -1.
constexpr const char* kClickFirstNamed =
    "function(name, type, value, missing, limit) {"
    "  const list = Array.from(this);"
    "  const item = (i) => {"
    "    if (name === '') return null;"
    "    let seen = 0;"
    "    for (const e of list) if (e.id === name || (e.getAttribute && e.getAttribute('name') === name)) { if (seen++ === i) return e; }"
    "    return null;"
    "  };"
    "  const text = (e, n) => {"
    "    if (!(n in e)) return missing;"
    "    const v = e[n];"
    "    if (v === null || v === undefined) return missing;"
    "    const t = String(v);"
    "    return t === '' ? missing : t;"
    "  };"
    "  for (let i = 0; i < limit; i++) {"
    "    let e;"
    "    try { e = item(i); } catch (x) { continue; }"
    "    if (!e) return -1;"
    "    if (fold(text(e, 'type')) === fold(type) && fold(value) === fold(text(e, 'value'))) { e.click(); return i; }"
    "  }"
    "  return -1;"
    "}";

constexpr const char* kRetargetAnchors =
    "function(from, to) {"
    "  const n = this.length | 0;"
    "  for (let i = 0; i < n; i++) {"
    "    try {"
    "      const e = this[i];"
    "      if (e && tag(e) === 'A' && fold(String(e.target || '')) === fold(from)) e.target = to;"
    "    } catch (x) {}"
    "  }"
    "}";

// Digits of engine::FieldOutcome, in the order of its values; the digits
// end early before a file input. The lookups are those of kItemFunction,
// through the form's own list (a control named "elements" does not hide it).
constexpr const char* kFillFields =
    "function(text, limit) {"
    "  const pieces = [];"
    "  for (let at = 0; at < text.length;) {"
    "    const colon = text.indexOf(':', at);"
    "    const n = Number(text.slice(at, colon));"
    "    pieces.push(text.substr(colon + 1, n));"
    "    at = colon + 1 + n;"
    "  }"
    "  const elements = Object.getOwnPropertyDescriptor(HTMLFormElement.prototype, 'elements').get.call(this);"
    "  const named = HTMLFormControlsCollection.prototype.namedItem;"
    "  const item = (name, i) => {"
    "    if (name === '') return null;"
    "    const r = named.call(elements, name);"
    "    if (!r) return null;"
    "    if (r.nodeType === 1) return i === 0 ? r : null;"
    "    return r[i] || null;"
    "  };"
    "  const isInput = (e) => !!e && tag(e) === 'INPUT';"
    "  const out = [];"
    "  for (let p = 0; p + 1 < pieces.length; p += 2) {"
    "    const name = pieces[p], value = pieces[p + 1];"
    "    try {"
    "      let e;"
    "      try { e = item(name, 0); } catch (x) { out.push(0); continue; }"
    "      if (!isInput(e)) { out.push(1); continue; }"
    "      const type = fold(String(e.type || ''));"
    "      if (type === 'file') break;"
    "      if (type === 'radio' || type === 'checkbox') {"
    "        for (let i = 0; i < limit; i++) {"
    "          let m;"
    "          try { m = item(name, i); } catch (x) { continue; }"
    "          if (!isInput(m)) break;"
    "          if (fold(String(m.value === undefined ? '' : m.value)) === fold(value)) m.click();"
    "        }"
    "        out.push(2);"
    "        continue;"
    "      }"
    "      try { e.value = value; } catch (x) {}"
    "      out.push(3);"
    "    } catch (x) { out.push(4); }"
    "  }"
    "  return out.join('');"
    "}";

// 0: no file input; 1: a file input that takes one file; 2: one that takes many.
constexpr const char* kFileInputKind =
    "function() {"
    "  if (String(this.tagName || '').toUpperCase() !== 'INPUT') return 0;"
    "  if (String(this.type || '').toLowerCase() !== 'file') return 0;"
    "  return this.multiple ? 2 : 1;"
    "}";

// Appends a text as its length in the page's characters (UTF-16 units),
// ":" and the text.
void AppendCounted(std::string& out, std::string_view utf8) {
  std::size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++units;  // a character starts here
    if (c >= 0xF0) ++units;           // beyond the first plane: two units
  }
  out += std::to_string(units);
  out += ':';
  out += utf8;
}

// A batched function with the helpers it uses in scope.
std::string Batched(const char* function) {
  return std::string("function(...a) { ") + kFoldFunction + kTagFunction + " return (" + function + ").apply(this, a); }";
}

// The digits a batched function gave, as outcomes.
template <typename Outcome>
HRESULT Outcomes(const Json::Value& result, Outcome last, std::vector<Outcome>* out) {
  const Json::Value& v = result["value"];
  if (!v.isString()) return com::E_UNEXPECTED;
  const std::string digits = v.asString();
  out->clear();
  out->reserve(digits.size());
  for (char d : digits) {
    const int n = d - '0';
    if (n < 0 || n > static_cast<int>(last)) return com::E_UNEXPECTED;
    out->push_back(static_cast<Outcome>(n));
  }
  return com::S_OK;
}

// The arguments of kItemFunction: a number picks by position, a text by
// id or name (the index-th such element); anything else is refused.
Json::Value ItemArgs(const com::Variant& name, const com::Variant& index, bool* ok) {
  Json::Value args(Json::arrayValue);
  *ok = true;
  std::int32_t at = 0;
  if (const auto* i = std::get_if<std::int32_t>(&index)) at = *i;
  else if (auto n = com::VariantToShort(index)) at = *n;
  auto byPosition = [&](std::int32_t position) {
    args.append(position);
    args.append(0);
    args.append(false);
  };
  if (const auto* i = std::get_if<std::int32_t>(&name)) {
    byPosition(*i);
  } else if (const auto* d = std::get_if<double>(&name)) {
    byPosition(static_cast<std::int32_t>(*d));
  } else if (const auto* s = std::get_if<std::string>(&name)) {
    args.append(*s);
    args.append(at);
    args.append(true);
  } else if (com::IsEmpty(name)) {
    byPosition(at);
  } else {
    *ok = false;
  }
  return args;
}

// Where a function of this file runs: on a remote object, or on a list a
// document hands out (run on the document, with the list as `this`, so
// that the list costs no call of its own).
struct Callee {
  const RemoteHandle& handle;
  std::string_view list;  // empty: the object itself; else the function that gives the list

  HRESULT CallOn(std::string_view function, const Json::Value& args, bool byValue, Json::Value* value,
                 std::string* objectId = nullptr) const {
    if (list.empty()) return handle.CallOn(function, args, byValue, value, objectId);
    const std::string onList =
        "function(...a) { return (" + std::string(function) + ").apply((" + std::string(list) + ").call(this), a); }";
    return handle.CallOn(onList, args, byValue, value, objectId);
  }
};

HRESULT ItemOf(const com::ComPtr<DocumentImpl>& document, const Callee& list, const com::Variant& name,
               const com::Variant& index, com::IUnknown** element) {
  *element = nullptr;
  bool ok;
  Json::Value args = ItemArgs(name, index, &ok);
  if (!ok) return com::E_INVALIDARG;
  Json::Value remote;
  std::string id;
  HRESULT hr = list.CallOn(kItemFunction, args, false, &remote, &id);
  if (com::Failed(hr)) return hr;
  *element = MakeElement(document, list.handle, id, remote["className"].asString()).Detach();
  return com::S_OK;
}

// A number the function gives.
HRESULT NumberOf(const Callee& object, std::string_view function, std::int32_t* number) {
  Json::Value v;
  HRESULT hr = object.CallOn(function, Json::Value(Json::arrayValue), true, &v);
  if (com::Succeeded(hr)) *number = v["value"].asInt();
  return hr;
}

// The tags whose faces an element's class tells without asking the page.
constexpr std::pair<std::string_view, const char*> kTagOfClass[] = {
    {"HTMLFormElement", "FORM"},
    {"HTMLInputElement", "INPUT"},
    {"HTMLAnchorElement", "A"},
};

std::string TagOfClass(std::string_view className) {
  for (const auto& [name, tag] : kTagOfClass)
    if (name == className) return tag;
  return {};
}

class ElementImpl final : public com::RefCounted<engine::Element, engine::Form, engine::Input, engine::Anchor> {
 public:
  // `tag` when it is known already, else empty.
  ElementImpl(com::ComPtr<DocumentImpl> document, std::unique_ptr<RemoteHandle> handle, std::string tag)
      : document_(std::move(document)), handle_(std::move(handle)), tag_(std::move(tag)) {}

  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == com::IID_IUnknown || iid == engine::IID_Element) return Give<engine::Element>(this, out);
    std::string tag;
    if (iid == engine::IID_Form || iid == engine::IID_Input || iid == engine::IID_Anchor) {
      // An element whose document has gone says so, rather than that it lacks the face.
      if (HRESULT hr = get_tagName(&tag); com::Failed(hr)) return hr == engine::E_GONE ? hr : com::E_NOINTERFACE;
    }
    if (iid == engine::IID_Form && tag == "FORM") return Give<engine::Form>(this, out);
    if (iid == engine::IID_Input && tag == "INPUT") return Give<engine::Input>(this, out);
    // An image-map area is a link but not an anchor.
    if (iid == engine::IID_Anchor && tag == "A") return Give<engine::Anchor>(this, out);
    return com::E_NOINTERFACE;
  }

  // Element
  HRESULT get_tagName(std::string* tag) override {
    if (!tag_.empty()) {
      *tag = tag_;
      return com::S_OK;
    }
    HRESULT hr = handle_->TextOf("function(){return String(this.tagName || '').toUpperCase();}", &tag_);
    *tag = tag_;
    return hr;
  }
  HRESULT click() override { return handle_->Effect("function(){this.click();}"); }
  HRESULT get_innerText(std::string* text) override {
    return handle_->TextOf("function(){return String(this.innerText === undefined ? this.textContent : this.innerText);}",
                           text);
  }
  HRESULT insertAdjacentHTML(std::string_view where, std::string_view html) override {
    Json::Value args(Json::arrayValue);
    args.append(std::string(where));
    args.append(std::string(html));
    return handle_->Effect("function(w, h){this.insertAdjacentHTML(w, h);}", args);
  }
  HRESULT GetProperty(std::string_view name, com::Variant* value) override {
    Json::Value v;
    HRESULT hr = handle_->CallOn(
        "function(n){ if (!(n in this)) return {has:false}; const v = this[n];"
        " return {has:true, v: (typeof v === 'object' && v !== null) ? String(v) : v}; }",
        Args(std::string(name)), true, &v);
    if (com::Failed(hr)) return hr;
    const Json::Value& r = v["value"];
    if (!r["has"].asBool()) return com::DISP_E_UNKNOWNNAME;
    const Json::Value& inner = r["v"];
    if (inner.isString()) *value = inner.asString();
    else if (inner.isBool()) *value = inner.asBool();
    else if (inner.isInt()) *value = inner.asInt();
    else if (inner.isNumeric()) *value = inner.asDouble();
    else if (inner.isNull() && r.isMember("v")) *value = com::Null{};
    else *value = std::monostate{};
    return com::S_OK;
  }

  // Form
  HRESULT get_name(std::string* name) override {
    return handle_->TextOf(
        "function(){return String(this.getAttribute('name') || (typeof this.name === 'string' ? this.name : ''));}",
        name);
  }
  HRESULT get_length(std::int32_t* length) override {
    return NumberOf(Self(), "function(){return (this.elements || this).length | 0;}", length);
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    return ItemOf(document_, Self(), name, index, element);
  }
  HRESULT submit() override { return handle_->Effect("function(){HTMLFormElement.prototype.submit.call(this);}"); }
  HRESULT get_action(std::string* action) override {
    return handle_->TextOf("function(){return String(this.getAttribute('action') || '');}", action);
  }
  HRESULT put_action(std::string_view action) override {
    return handle_->Effect("function(a){this.setAttribute('action', a);}", Args(std::string(action)));
  }
  HRESULT FillFields(std::span<const engine::FieldValue> fields, std::int32_t groupLimit,
                     std::vector<engine::FieldOutcome>* outcomes) override {
    static const std::string function = Batched(kFillFields);
    // The pieces travel as one text, each name and value as its length and
    // ":" before it: the protocol carries one long text far faster than a
    // list of many short ones.
    std::string pieces;
    for (const auto& f : fields) {
      AppendCounted(pieces, f.name);
      AppendCounted(pieces, f.value);
    }
    Json::Value args(Json::arrayValue);
    args.append(std::move(pieces));
    args.append(groupLimit);
    Json::Value v;
    if (HRESULT hr = handle_->CallOn(function, args, true, &v); com::Failed(hr)) return hr;
    HRESULT hr = Outcomes(v, engine::FieldOutcome::Failed, outcomes);
    return com::Succeeded(hr) && outcomes->size() > fields.size() ? com::E_UNEXPECTED : hr;
  }

  // Input (get_name is shared with Form: the name attribute)
  HRESULT get_type(std::string* type) override { return handle_->TextOf("function(){return String(this.type || '');}", type); }
  HRESULT get_value(std::string* value) override {
    return handle_->TextOf("function(){return String(this.value === undefined ? '' : this.value);}", value);
  }
  HRESULT put_value(std::string_view value) override {
    return handle_->Effect("function(v){this.value = v;}", Args(std::string(value)));
  }
  HRESULT SetFiles(std::span<const std::string> paths) override {
    // A file input only; without "multiple" it takes the first file alone.
    Json::Value kind;
    HRESULT hr = handle_->CallOn(kFileInputKind, Json::Value(Json::arrayValue), true, &kind);
    if (com::Failed(hr)) return hr;
    const int k = kind["value"].asInt();
    if (k == 0) return com::E_INVALIDARG;
    std::vector<std::string> files(paths.begin(), paths.end());
    if (k == 1 && files.size() > 1) files.resize(1);
    // The browser reads the files and fires the input's events, on the
    // session of the element's own frame (another process's, for a frame of
    // another site).
    const Reply r = handle_->process().Call(handle_->generation(),
                                            protocol::SetFileInputFiles(handle_->objectId(), files),
                                            handle_->session());
    if (r.ok) return com::S_OK;
    return handle_->process().Alive(handle_->generation()) ? com::E_FAIL : engine::E_GONE;
  }

  // Anchor
  HRESULT get_href(std::string* href) override { return handle_->TextOf("function(){return String(this.href || '');}", href); }
  HRESULT get_target(std::string* target) override {
    return handle_->TextOf("function(){return String(this.target || '');}", target);
  }
  HRESULT put_target(std::string_view target) override {
    return handle_->Effect("function(t){this.target = t;}", Args(std::string(target)));
  }

 private:
  Callee Self() const { return {*handle_, {}}; }

  com::ComPtr<DocumentImpl> document_;
  std::unique_ptr<RemoteHandle> handle_;
  std::string tag_;
};

class CollectionImpl final : public com::RefCounted<engine::ElementCollection> {
 public:
  CollectionImpl(com::ComPtr<DocumentImpl> document, std::string list)
      : document_(std::move(document)), list_(std::move(list)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_ElementCollection)
      return Give<engine::ElementCollection>(this, out);
    return NoInterface(out);
  }
  HRESULT get_length(std::int32_t* length) override {
    return NumberOf(List(), "function(){return this.length | 0;}", length);
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    return ItemOf(document_, List(), name, index, element);
  }
  HRESULT ClickAnchorsByText(std::string_view text, std::vector<engine::LinkOutcome>* outcomes) override {
    static const std::string function = Batched(kClickAnchorsByText);
    Json::Value v;
    if (HRESULT hr = List().CallOn(function, Args(std::string(text)), true, &v); com::Failed(hr)) return hr;
    return Outcomes(v, engine::LinkOutcome::Failed, outcomes);
  }
  HRESULT ClickFirstNamed(std::string_view name, std::string_view type, std::string_view value,
                          std::string_view missing, std::int32_t limit, std::int32_t* clicked) override {
    static const std::string function = Batched(kClickFirstNamed);
    Json::Value args(Json::arrayValue);
    for (std::string_view text : {name, type, value, missing}) args.append(std::string(text));
    args.append(limit);
    Json::Value v;
    if (HRESULT hr = List().CallOn(function, args, true, &v); com::Failed(hr)) return hr;
    *clicked = v["value"].asInt();
    return com::S_OK;
  }
  HRESULT RetargetAnchors(std::string_view from, std::string_view to) override {
    static const std::string function = Batched(kRetargetAnchors);
    Json::Value args(Json::arrayValue);
    args.append(std::string(from));
    args.append(std::string(to));
    return List().CallOn(function, args, true, nullptr);
  }

 private:
  Callee List() const { return {document_->handle(), list_}; }

  com::ComPtr<DocumentImpl> document_;
  std::string list_;  // the function that gives the list from the document
};

}  // namespace

com::ComPtr<engine::Element> MakeElement(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& owner,
                                         const std::string& objectId, std::string_view className) {
  if (objectId.empty()) return nullptr;
  auto element = com::MakeRef<ElementImpl>(document, owner.Sibling(objectId), TagOfClass(className));
  return com::ComPtr<engine::Element>::Adopt(static_cast<engine::Element*>(element.Detach()));
}

com::ComPtr<engine::ElementCollection> MakeCollection(com::ComPtr<DocumentImpl> document, std::string list) {
  return com::MakeRef<CollectionImpl>(std::move(document), std::move(list));
}

}  // namespace cdp
