// Form filling (nFillStatus): the named form of every frame, then of the
// document, filled from a value string of name=value pieces; with
// fillFormSubmit the form is then submitted.
#include "control/automation/FormLookup.h"
#include "control/automation/FormValue.h"
#include "control/automation/enumIE.h"

namespace {

using namespace automation;
using engine::FieldOutcome;

constexpr int kGroupScanLimit = 10;  // a radio or checkbox group: its first ten elements

}  // namespace

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
  const std::vector<std::string> split = SplitFormValues(values);
  std::vector<FormValue> pieces;
  pieces.reserve(split.size());
  for (const std::string& piece : split) pieces.emplace_back(piece);
  fillFields(pieces, form.Get());
  return form;
}

void enumIE::fillFields(const std::vector<FormValue>& pieces, engine::Form* form) {
  // The pieces as the engine takes them.
  std::vector<engine::FieldValue> fields;
  fields.reserve(pieces.size());
  for (const FormValue& piece : pieces) fields.push_back({ToEngine(piece.sName), ToEngine(piece.sValue)});
  std::span<const engine::FieldValue> rest(fields);
  while (!rest.empty()) {
    const std::size_t at = fields.size() - rest.size();
    // As many pieces as the engine sets in one go.
    std::vector<FieldOutcome> outcomes;
    com::HRESULT hr = form->FillFields(rest, kGroupScanLimit, &outcomes);
    if (hr == com::E_NOTIMPL) {
      // An engine without the batch: the field step on each piece.
      for (std::size_t i = at; i < pieces.size(); ++i) fillField(pieces[i].sName, pieces[i].sValue, form);
      return;
    }
    if (com::Failed(hr)) {
      // The form went (its page did): every lookup of what is left would fail.
      nFillStatus = STATUS_FIELD_LOOKUP;
      return;
    }
    for (FieldOutcome outcome : outcomes) recordField(StepOf(outcome));
    if (outcomes.size() >= rest.size()) return;
    // The engine left a piece to the field step (a file input), then goes on after it.
    const FormValue& left = pieces[at + outcomes.size()];
    fillField(left.sName, left.sValue, form);
    rest = rest.subspan(outcomes.size() + 1);
  }
}

void enumIE::fillForm(std::string formName, std::string values, engine::Document* document) {
  // Nothing without a document.
  if (!document) return;
  // Every frame first.
  fillFormInFrames(formName, values, document);
  // A failed lookup records 12.
  if (!fillNamedForm(formName, values, document, true)) return;
  // A found form always ends with 0, unless a file input was left as it
  // was: a fill that silently went without its photos would pass for a
  // complete one.
  nFillStatus = filledStatus();
}

void enumIE::fillFormInFrames(std::string formName, std::string values, engine::Document* document) {
  walkFrames(document, {}, [&](engine::Document* frame) { fillForm(formName, values, frame); });
}

void enumIE::fillFormSubmit(std::string formName, std::string values, engine::Document* document) {
  // Nothing without a document.
  if (!document) return;
  // Every frame first.
  fillFormSubmitInFrames(formName, values, document);
  // A failed lookup records nothing here.
  com::ComPtr<engine::Form> form = fillNamedForm(formName, values, document, false);
  if (!form) return;
  // A refused submission leaves what the fields wrote; a file input left as
  // it was is reported over a successful one.
  if (com::Succeeded(form->submit())) nFillStatus = filledStatus();
}

void enumIE::fillFormSubmitInFrames(std::string formName, std::string values, engine::Document* document) {
  walkFrames(document, {&nFillStatus, false}, [&](engine::Document* frame) { fillFormSubmit(formName, values, frame); });
}

void enumIE::fillField(std::string name, std::string value, engine::Form* form) {
  recordField(setField(name, value, form));
}

FieldStep enumIE::setField(const std::string& name, const std::string& value, engine::Form* form) {
  try {
    // The field of that name; a failed lookup.
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(form->item(ToEngine(name), std::int32_t{0}, item.Put()))) return FieldStep::LookupFailed;
    // Only inputs are filled (not selects, text areas or buttons).
    auto input = engine::Query<engine::Input>(item.Get(), engine::IID_Input);
    if (!input) return FieldStep::NotAnInput;
    // The input's type.
    std::string type;
    input->get_type(&type);
    type = FromEngine(type);
    // A radio or checkbox group: every one of its first ten elements whose value matches is clicked.
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
      return FieldStep::GroupScanned;
    }
    // A file input: the files its value names.
    if (codepage::EqualsNoCase(type, "file")) return giveFiles(input.Get(), value);
    // Any other input: its value is set.
    input->put_value(ToEngine(value));
    return FieldStep::ValueSet;
  } catch (...) {
    return FieldStep::Failed;
  }
}

FieldStep enumIE::giveFiles(engine::Input* input, const std::string& value) {
  // An empty value names no file: the input keeps what it has.
  if (value.empty()) return FieldStep::ValueSet;
  // Every source as a local file: paths as they stand, addresses downloaded.
  CFileSources* sources = pFileSources;
  if (!sources) {
    if (!m_pOwnFileSources) m_pOwnFileSources = std::make_unique<CFileSources>();
    sources = m_pOwnFileSources.get();
  }
  std::vector<std::string> paths;
  if (!sources->Resolve(ToEngine(value), &paths)) return FieldStep::FilesUnavailable;
  // All of them at once, as a person picks them.
  if (com::Failed(input->SetFiles(paths))) return FieldStep::FilesUnavailable;
  return FieldStep::ValueSet;
}

void enumIE::recordField(FieldStep step) {
  switch (step) {
    case FieldStep::LookupFailed: nFillStatus = STATUS_FIELD_LOOKUP; break;
    case FieldStep::NotAnInput: break;  // such fields are not filled, and say nothing
    case FieldStep::GroupScanned: nFillStatus = STATUS_GROUP_SCANNED; break;
    case FieldStep::ValueSet: nFillStatus = STATUS_DONE; break;
    case FieldStep::Failed: nFillStatus = STATUS_EXCEPTION; break;
    case FieldStep::FilesUnavailable:
      nFillStatus = STATUS_FILES_UNAVAILABLE;
      bFilesUnavailable = true;
      break;
  }
}
