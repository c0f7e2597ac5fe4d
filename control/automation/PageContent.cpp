// The content of one document (no frame walk): markup at the end of the
// body (nEditStatus), and the page's source in the code page (nSourceStatus).
#include <new>

#include "control/automation/FormLookup.h"
#include "control/automation/enumIE.h"

namespace {

using namespace automation;

constexpr char kBeforeEnd[] = "beforeEnd";

}  // namespace

void enumIE::addToBody(std::string markup, engine::Document* document) {
  // Done unless told otherwise; no document: 10.
  nEditStatus = STATUS_DONE;
  if (!document) {
    nEditStatus = STATUS_NO_DOCUMENT;
    return;
  }
  try {
    // The body; none: 17.
    com::ComPtr<engine::Element> body;
    if (com::Failed(document->get_body(body.Put())) || !body) {
      nEditStatus = STATUS_NO_BODY;
      return;
    }
    // Its outcome is not looked at.
    body->insertAdjacentHTML(kBeforeEnd, ToEngine(markup));
  } catch (...) {
    // An exception anywhere above.
    nEditStatus = STATUS_EXCEPTION;
  }
}

std::string enumIE::getSource(engine::Document* document) {
  // Done unless told otherwise.
  nSourceStatus = STATUS_DONE;
  std::string text;
  // The bytes the page would save, in its own charset.
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
  // The charset decides the conversion to the code page.
  std::string charset;
  document->get_charset(&charset);
  if (codepage::EqualsNoCase(charset, "utf-8")) {
    text = codepage::Utf8ToAnsi(text);
  } else if (codepage::EqualsNoCase(charset, "unicode")) {
    text = codepage::Convert(text, "UTF-16LE", codepage::Name().c_str());
  }
  // Any other charset: the bytes as they are, in the page's own encoding.
  return text;
}
