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

HRESULT ItemOf(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& list, const com::Variant& name,
               const com::Variant& index, com::IUnknown** element) {
  *element = nullptr;
  bool ok;
  Json::Value args = ItemArgs(name, index, &ok);
  if (!ok) return com::E_INVALIDARG;
  std::string id;
  HRESULT hr = list.CallOn(kItemFunction, args, false, nullptr, &id);
  if (com::Failed(hr)) return hr;
  *element = MakeElement(document, list, id).Detach();
  return com::S_OK;
}

// A number the function gives.
HRESULT NumberOf(const RemoteHandle& object, std::string_view function, std::int32_t* number) {
  Json::Value v;
  HRESULT hr = object.CallOn(function, Json::Value(Json::arrayValue), true, &v);
  if (com::Succeeded(hr)) *number = v["value"].asInt();
  return hr;
}

class ElementImpl final : public com::RefCounted<engine::Element, engine::Form, engine::Input, engine::Anchor> {
 public:
  ElementImpl(com::ComPtr<DocumentImpl> document, std::unique_ptr<RemoteHandle> handle)
      : document_(std::move(document)), handle_(std::move(handle)) {}

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
    return NumberOf(*handle_, "function(){return (this.elements || this).length | 0;}", length);
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    return ItemOf(document_, *handle_, name, index, element);
  }
  HRESULT submit() override { return handle_->Effect("function(){HTMLFormElement.prototype.submit.call(this);}"); }
  HRESULT get_action(std::string* action) override {
    return handle_->TextOf("function(){return String(this.getAttribute('action') || '');}", action);
  }
  HRESULT put_action(std::string_view action) override {
    return handle_->Effect("function(a){this.setAttribute('action', a);}", Args(std::string(action)));
  }

  // Input (get_name is shared with Form: the name attribute)
  HRESULT get_type(std::string* type) override { return handle_->TextOf("function(){return String(this.type || '');}", type); }
  HRESULT get_value(std::string* value) override {
    return handle_->TextOf("function(){return String(this.value === undefined ? '' : this.value);}", value);
  }
  HRESULT put_value(std::string_view value) override {
    return handle_->Effect("function(v){this.value = v;}", Args(std::string(value)));
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
  com::ComPtr<DocumentImpl> document_;
  std::unique_ptr<RemoteHandle> handle_;
  std::string tag_;
};

class CollectionImpl final : public com::RefCounted<engine::ElementCollection> {
 public:
  CollectionImpl(com::ComPtr<DocumentImpl> document, std::unique_ptr<RemoteHandle> handle)
      : document_(std::move(document)), handle_(std::move(handle)) {}
  HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_ElementCollection)
      return Give<engine::ElementCollection>(this, out);
    return NoInterface(out);
  }
  HRESULT get_length(std::int32_t* length) override {
    return NumberOf(*handle_, "function(){return this.length | 0;}", length);
  }
  HRESULT item(const com::Variant& name, const com::Variant& index, com::IUnknown** element) override {
    return ItemOf(document_, *handle_, name, index, element);
  }

 private:
  com::ComPtr<DocumentImpl> document_;
  std::unique_ptr<RemoteHandle> handle_;
};

}  // namespace

com::ComPtr<engine::Element> MakeElement(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& owner,
                                         const std::string& objectId) {
  if (objectId.empty()) return nullptr;
  auto element = com::MakeRef<ElementImpl>(document, owner.Sibling(objectId));
  return com::ComPtr<engine::Element>::Adopt(static_cast<engine::Element*>(element.Detach()));
}

com::ComPtr<engine::ElementCollection> MakeCollection(com::ComPtr<DocumentImpl> document,
                                                      std::unique_ptr<RemoteHandle> handle) {
  return com::MakeRef<CollectionImpl>(std::move(document), std::move(handle));
}

}  // namespace cdp
