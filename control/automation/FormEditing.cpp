// Form editing (nEditStatus) and submission (nSubmitStatus): a form's
// action changed, markup added at its end, the form submitted.
#include "control/automation/FormLookup.h"
#include "control/automation/enumIE.h"

namespace {

using namespace automation;

constexpr char kBeforeEnd[] = "beforeEnd";

}  // namespace

void enumIE::changeAction(std::string formName, std::string newAction, engine::Document* document) {
  // Nothing without a document; every frame first.
  if (!document) return;
  changeActionInFrames(formName, newAction, document);
  try {
    // The named form; anything else ends the operation without a word.
    com::ComPtr<com::IUnknown> item;
    if (FindForm(document, formName, &item) != Lookup::Found) return;
    auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form);
    if (!form) return;
    // The text as it is; an empty one sets an empty action.
    form->put_action(ToEngine(newAction));
  } catch (...) {
  }
}

void enumIE::changeActionInFrames(std::string formName, std::string newAction, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { changeAction(formName, newAction, frame); });
}

void enumIE::addToForm(std::string formName, std::string html, engine::Document* document) {
  // Done unless told otherwise; no document: 10.
  nEditStatus = STATUS_DONE;
  if (!document) {
    nEditStatus = STATUS_NO_DOCUMENT;
    return;
  }
  // The frames, once.
  addToFormInFrames(formName, html, document);
  try {
    // The named form: no collection 11, a failed lookup 12.
    com::ComPtr<com::IUnknown> item;
    switch (FindForm(document, formName, &item)) {
      case Lookup::NoCollection: nEditStatus = STATUS_NO_FORM; return;
      case Lookup::Failed: nEditStatus = STATUS_FORM_LOOKUP; return;
      case Lookup::Found: break;
    }
    // Its element face; none: 12.
    auto element = engine::Query<engine::Element>(item.Get(), engine::IID_Element);
    if (!element) {
      nEditStatus = STATUS_FORM_LOOKUP;
      return;
    }
    // The markup becomes the form's last content, unchanged.
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
  // Nothing without a document; every frame first.
  if (!document) return;
  submitFormInFrames(formName, document);
  // The named form: no collection 11, a failed lookup 12.
  com::ComPtr<com::IUnknown> item;
  switch (FindForm(document, formName, &item, std::int32_t{0})) {
    case Lookup::NoCollection: nSubmitStatus = STATUS_NO_FORM; return;
    case Lookup::Failed: nSubmitStatus = STATUS_FORM_LOOKUP; return;
    case Lookup::Found: break;
  }
  // Nothing is recorded for a submission or for a missing form.
  if (auto form = engine::Query<engine::Form>(item.Get(), engine::IID_Form)) form->submit();
}

void enumIE::submitFormInFrames(std::string formName, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { submitForm(formName, frame); });
}
