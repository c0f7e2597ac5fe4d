// What the document operations of enumIE share: texts across the engine
// boundary and the lookup of a document's named form.
#pragma once

#include <string>

#include "engine/dom.h"
#include "platform/codepage.h"

namespace automation {

inline std::string ToEngine(const std::string& ansi) { return codepage::AnsiToUtf8(ansi); }
inline std::string FromEngine(const std::string& utf8) { return codepage::Utf8ToAnsi(utf8); }

// The named form's element: forms collection, then its item (name, "0").
// Distinguishes the three outcomes the operations branch on.
enum class Lookup { NoCollection, Failed, Found };
inline Lookup FindForm(engine::Document* document, const std::string& formName, com::ComPtr<com::IUnknown>* item,
                       com::Variant index = std::string("0")) {
  com::ComPtr<engine::ElementCollection> forms;
  if (com::Failed(document->get_forms(forms.Put())) || !forms) return Lookup::NoCollection;
  if (com::Failed(forms->item(ToEngine(formName), index, item->Put()))) return Lookup::Failed;
  return Lookup::Found;
}

}  // namespace automation
