// The document operations of enumIE: form filling, editing and submission,
// clicks, body markup and page source. Each single-document operation runs
// its frame walk first and then treats the document itself.
#include <new>

#include "control/automation/FormValue.h"
#include "control/automation/enumIE.h"
#include "platform/codepage.h"

namespace {

constexpr char kBeforeEnd[] = "beforeEnd";
constexpr int kGroupScanLimit = 10;  // a radio or checkbox group: its first ten elements
constexpr int kClickInputLimit = 10;
constexpr char kNullText[] = "NULL";

std::string ToEngine(const std::string& ansi) { return codepage::AnsiToUtf8(ansi); }
std::string FromEngine(const std::string& utf8) { return codepage::Utf8ToAnsi(utf8); }

// The named form's element: forms collection, then its item (name, "0").
// Distinguishes the three outcomes the operations branch on.
enum class Lookup { NoCollection, Failed, Found };
Lookup FindForm(engine::Document* document, const std::string& formName, com::ComPtr<com::IUnknown>* item,
                com::Variant index = std::string("0")) {
  com::ComPtr<engine::ElementCollection> forms;
  if (com::Failed(document->get_forms(forms.Put())) || !forms) return Lookup::NoCollection;
  if (com::Failed(forms->item(ToEngine(formName), index, item->Put()))) return Lookup::Failed;
  return Lookup::Found;
}

// An element property as text; a missing property, a null one and one
// without text all read as "NULL" (an empty text is a null text where
// these values come from, so "NULL" matches an element without a value).
std::string PropertyText(engine::Element* element, const char* name) {
  com::Variant v;
  if (com::Failed(element->GetProperty(name, &v))) return kNullText;
  if (com::IsEmpty(v) || std::holds_alternative<com::Null>(v)) return kNullText;
  std::string text = FromEngine(com::VariantToText(v));
  return text.empty() ? kNullText : text;
}

}  // namespace

// --- Form filling -----------------------------------------------------------

com::ComPtr<engine::Form> enumIE::fillNamedForm(const std::string& formName, const std::string& values,
                                                engine::Document* document, bool recordFailedLookup) {
  // The named form: forms collection, then its item (name, "0").
  com::ComPtr<com::IUnknown> item;
  switch (FindForm(document, formName, &item)) {
    case Lookup::NoCollection: nFillStatus = STATUS_NO_FORM; return nullptr;
    case Lookup::Failed:
      if (recordFailedLookup) nFillStatus = STATUS_FORM_LOOKUP;
      return nullptr;
    case Lookup::Found: break;
  }
  auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form);
  if (!form) {
    nFillStatus = STATUS_NO_FORM;
    return nullptr;
  }
  // Every piece, left to right.
  for (const std::string& piece : SplitFormValues(values)) {
    FormValue field(piece);
    fillField(field.sName, field.sValue, form.Get());
  }
  return form;
}

void enumIE::fillForm(std::string formName, std::string values, engine::Document* document) {
  // 1.
  if (!document) return;
  // 2. Every frame first.
  fillFormInFrames(formName, values, document);
  // 3-6. A failed lookup records 12.
  if (!fillNamedForm(formName, values, document, true)) return;
  // 7. A found form always ends with 0.
  nFillStatus = STATUS_DONE;
}

void enumIE::fillFormInFrames(std::string formName, std::string values, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { fillForm(formName, values, frame); });
}

void enumIE::fillFormSubmit(std::string formName, std::string values, engine::Document* document) {
  // 1.
  if (!document) return;
  // 2.
  fillFormSubmitInFrames(formName, values, document);
  // 3-6. A failed lookup records nothing here.
  com::ComPtr<engine::Form> form = fillNamedForm(formName, values, document, false);
  if (!form) return;
  // 7. A refused submission leaves what the fields wrote.
  if (com::Succeeded(form->submit())) nFillStatus = STATUS_DONE;
}

void enumIE::fillFormSubmitInFrames(std::string formName, std::string values, engine::Document* document) {
  walkFrames(document, {&nFillStatus, false}, [&](engine::Document* frame) { fillFormSubmit(formName, values, frame); });
}

void enumIE::fillField(std::string name, std::string value, engine::Form* form) {
  try {
    // 1.
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(form->item(ToEngine(name), std::int32_t{0}, item.Put()))) {
      nFillStatus = STATUS_FIELD_LOOKUP;
      return;
    }
    // 2. Only inputs are filled (not selects, text areas or buttons).
    auto input = engine::Query<engine::Input>(item.Get(), engine::IID_Input);
    if (!input) return;
    // 3.
    std::string type;
    input->get_type(&type);
    type = FromEngine(type);
    // 4. A radio or checkbox group: every one of its first ten elements whose value matches is clicked.
    if (codepage::EqualsNoCase(type, "radio") || codepage::EqualsNoCase(type, "checkbox")) {
      for (std::int32_t i = 0; i < kGroupScanLimit; ++i) {
        com::ComPtr<com::IUnknown> member;
        if (com::Failed(form->item(ToEngine(name), i, member.Put()))) continue;
        auto element = engine::Query<engine::Element>(member.Get(), engine::IID_Element);
        auto memberInput = engine::Query<engine::Input>(member.Get(), engine::IID_Input);
        if (!element || !memberInput) break;  // the group has ended
        std::string memberValue;
        memberInput->get_value(&memberValue);
        if (codepage::EqualsNoCase(FromEngine(memberValue), value)) element->click();
      }
      nFillStatus = STATUS_GROUP_SCANNED;
      return;
    }
    // 5. Any other input: its value is set.
    input->put_value(ToEngine(value));
    nFillStatus = STATUS_DONE;
  } catch (...) {
    nFillStatus = STATUS_EXCEPTION;
  }
}

// --- Form editing and submission -------------------------------------------

void enumIE::changeAction(std::string formName, std::string newAction, engine::Document* document) {
  // 1-2.
  if (!document) return;
  changeActionInFrames(formName, newAction, document);
  try {
    // 3-5.
    com::ComPtr<com::IUnknown> item;
    if (FindForm(document, formName, &item) != Lookup::Found) return;
    auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form);
    if (!form) return;
    // 6. The text as it is; an empty one sets an empty action.
    form->put_action(ToEngine(newAction));
  } catch (...) {
  }
}

void enumIE::changeActionInFrames(std::string formName, std::string newAction, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { changeAction(formName, newAction, frame); });
}

void enumIE::addToForm(std::string formName, std::string html, engine::Document* document) {
  // 1-2.
  nEditStatus = STATUS_DONE;
  if (!document) {
    nEditStatus = STATUS_NO_DOCUMENT;
    return;
  }
  // 3. The frames, once.
  addToFormInFrames(formName, html, document);
  try {
    // 4-5.
    com::ComPtr<com::IUnknown> item;
    switch (FindForm(document, formName, &item)) {
      case Lookup::NoCollection: nEditStatus = STATUS_NO_FORM; return;
      case Lookup::Failed: nEditStatus = STATUS_FORM_LOOKUP; return;
      case Lookup::Found: break;
    }
    // 6.
    auto element = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
    if (!element) {
      nEditStatus = STATUS_FORM_LOOKUP;
      return;
    }
    // 7-8. The markup becomes the form's last content, unchanged.
    element->insertAdjacentHTML(kBeforeEnd, ToEngine(html));
    nEditStatus = STATUS_DONE;
  } catch (...) {
    nEditStatus = STATUS_EXCEPTION;
  }
}

void enumIE::addToFormInFrames(std::string formName, std::string html, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { addToForm(formName, html, frame); });
}

void enumIE::submitForm(std::string formName, engine::Document* document) {
  // 1-2.
  if (!document) return;
  submitFormInFrames(formName, document);
  // 3-4.
  com::ComPtr<com::IUnknown> item;
  switch (FindForm(document, formName, &item, std::int32_t{0})) {
    case Lookup::NoCollection: nSubmitStatus = STATUS_NO_FORM; return;
    case Lookup::Failed: nSubmitStatus = STATUS_FORM_LOOKUP; return;
    case Lookup::Found: break;
  }
  // 5-6. Nothing is recorded for a submission or for a missing form.
  if (auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form)) form->submit();
}

void enumIE::submitFormInFrames(std::string formName, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { submitForm(formName, frame); });
}

// --- Clicks ------------------------------------------------------------------

void enumIE::clickLink(std::string linkSrc, std::string linkText, engine::Document* document) {
  // 1-2.
  if (!document) return;
  clickLinkInFrames(linkSrc, linkText, document);
  // 3.
  com::ComPtr<engine::ElementCollection> links;
  if (com::Failed(document->get_links(links.Put()))) {
    nLinkStatus = STATUS_NO_LINKS;
    return;
  }
  if (!links) return;
  try {
    // 4. Every link whose text matches exactly is clicked; the source plays no part.
    std::int32_t count = 0;
    links->get_length(&count);
    // A click may start a navigation, and the page may go while the rest of
    // its links are examined. Once its objects are gone nothing is left to
    // examine: the scan ends there, and a gone link is not "not an anchor".
    for (std::int32_t i = 0; i < count; ++i) {
      com::ComPtr<com::IUnknown> item;
      if (links->item(i, i, item.Put()) == engine::E_GONE) break;
      com::ComPtr<engine::Anchor> anchor;
      com::HRESULT faced = item ? item->QueryInterface(engine::IID_Anchor, anchor.PutVoid()) : com::E_NOINTERFACE;
      if (faced == engine::E_GONE) break;
      auto element = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
      if (!anchor || !element) {
        nLinkStatus = STATUS_NOT_ANCHOR;
        continue;
      }
      std::string text;
      if (element->get_innerText(&text) == engine::E_GONE) break;
      if (FromEngine(text) == linkText) {
        element->click();
        nLinkStatus = STATUS_DONE;
      }
    }
  } catch (...) {
    // 5.
    nLinkStatus = STATUS_EXCEPTION;
  }
}

void enumIE::clickLinkInFrames(std::string linkSrc, std::string linkText, engine::Document* document) {
  walkFrames(document, {&nLinkStatus, false}, [&](engine::Document* frame) { clickLink(linkSrc, linkText, frame); });
}

void enumIE::clickInput(std::string type, std::string name, std::string value, engine::Document* document) {
  // 1-2.
  if (!document) return;
  clickInputInFrames(type, name, value, document);
  // 3.
  com::ComPtr<engine::ElementCollection> all;
  if (com::Failed(document->get_all(all.Put())) || !all) return;
  // 4. The first of the first ten elements of that name whose type and value match.
  for (std::int32_t i = 0; i < kClickInputLimit; ++i) {
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(all->item(ToEngine(name), i, item.Put()))) continue;
    auto element = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
    if (!element) return;  // no more elements of that name
    std::string typeText = PropertyText(element.Get(), "type");
    std::string valueText = PropertyText(element.Get(), "value");
    if (codepage::EqualsNoCase(typeText, type) && codepage::EqualsNoCase(value, valueText)) {
      element->click();
      return;
    }
  }
}

void enumIE::clickInputInFrames(std::string type, std::string name, std::string value, engine::Document* document) {
  walkFrames(document, {&nEditStatus, false}, [&](engine::Document* frame) { clickInput(type, name, value, frame); });
}

// --- Body and source ---------------------------------------------------------

void enumIE::addToBody(std::string markup, engine::Document* document) {
  // 1-2.
  nEditStatus = STATUS_DONE;
  if (!document) {
    nEditStatus = STATUS_NO_DOCUMENT;
    return;
  }
  try {
    // 3.
    com::ComPtr<engine::Element> body;
    if (com::Failed(document->get_body(body.Put())) || !body) {
      nEditStatus = STATUS_NO_BODY;
      return;
    }
    // 4. Its outcome is not looked at.
    body->insertAdjacentHTML(kBeforeEnd, ToEngine(markup));
  } catch (...) {
    // 5.
    nEditStatus = STATUS_EXCEPTION;
  }
}

std::string enumIE::getSource(engine::Document* document) {
  // 1.
  nSourceStatus = STATUS_DONE;
  std::string text;
  // 2-5. The bytes the page would save, in its own charset.
  try {
    std::vector<std::uint8_t> bytes;
    com::HRESULT hr = document->Save(&bytes);
    if (hr == com::E_NOINTERFACE || hr == com::E_NOTIMPL) {
      nSourceStatus = STATUS_NO_DOCUMENT;
    } else if (com::Failed(hr)) {
      nSourceStatus = STATUS_EXCEPTION;
    } else {
      text.assign(bytes.begin(), bytes.end());
    }
  } catch (const std::bad_alloc&) {
    nSourceStatus = STATUS_NO_MEMORY;
    text.clear();
  }
  // 6. The charset decides the conversion to the code page.
  std::string charset;
  document->get_charset(&charset);
  if (codepage::EqualsNoCase(charset, "utf-8")) {
    text = codepage::Utf8ToAnsi(text);
  } else if (codepage::EqualsNoCase(charset, "unicode")) {
    text = codepage::Convert(text, "UTF-16LE", codepage::Name().c_str());
  }
  // 7. Any other charset: the bytes as they are, in the page's own encoding.
  return text;
}
