// Page actions: links and inputs clicked (nLinkStatus; the walk of
// clickInput records in nEditStatus), and links that open a new window
// given another target.
#include "control/automation/FormLookup.h"
#include "control/automation/enumIE.h"

namespace {

using namespace automation;

constexpr int kClickInputLimit = 10;
constexpr char kNullText[] = "NULL";
constexpr char kBlankTarget[] = "_blank";

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

// The outcome of each entry of a link list, the per-element way: for an
// engine that does not scan a list in one call.
std::vector<engine::LinkOutcome> ScanLinks(engine::ElementCollection* links, const std::string& linkText) {
  using engine::LinkOutcome;
  std::vector<LinkOutcome> outcomes;
  try {
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
        outcomes.push_back(LinkOutcome::NotAnchor);
        continue;
      }
      std::string text;
      if (element->get_innerText(&text) == engine::E_GONE) break;
      if (FromEngine(text) == linkText) {
        element->click();
        outcomes.push_back(LinkOutcome::Clicked);
      } else {
        outcomes.push_back(LinkOutcome::NoMatch);
      }
    }
  } catch (...) {
    outcomes.push_back(LinkOutcome::Failed);
  }
  return outcomes;
}

}  // namespace

void enumIE::clickLink(std::string linkSrc, std::string linkText, engine::Document* document) {
  // Nothing without a document; every frame first.
  if (!document) return;
  clickLinkInFrames(linkSrc, linkText, document);
  // The document's links; none to be had: 19.
  com::ComPtr<engine::ElementCollection> links;
  if (com::Failed(document->get_links(links.Put()))) {
    nLinkStatus = STATUS_NO_LINKS;
    return;
  }
  if (!links) return;
  // Every link whose text matches exactly is clicked; the source plays no
  // part. The engine scans the whole list in one call where it can, so
  // every match is clicked before a click's navigation takes the page away.
  std::vector<engine::LinkOutcome> outcomes;
  if (links->ClickAnchorsByText(ToEngine(linkText), &outcomes) == com::E_NOTIMPL)
    outcomes = ScanLinks(links.Get(), linkText);
  // Each entry in scan order: a click 0, an entry that is no anchor 20, an exception 1.
  for (engine::LinkOutcome outcome : outcomes) {
    switch (outcome) {
      case engine::LinkOutcome::Clicked: nLinkStatus = STATUS_DONE; break;
      case engine::LinkOutcome::NotAnchor: nLinkStatus = STATUS_NOT_ANCHOR; break;
      case engine::LinkOutcome::NoMatch: break;
      case engine::LinkOutcome::Failed: nLinkStatus = STATUS_EXCEPTION; break;
    }
  }
}

void enumIE::clickLinkInFrames(std::string linkSrc, std::string linkText, engine::Document* document) {
  walkFrames(document, {&nLinkStatus, false}, [&](engine::Document* frame) { clickLink(linkSrc, linkText, frame); });
}

void enumIE::clickInput(std::string type, std::string name, std::string value, engine::Document* document) {
  // Nothing without a document; every frame first.
  if (!document) return;
  clickInputInFrames(type, name, value, document);
  // Every element of the document.
  com::ComPtr<engine::ElementCollection> all;
  if (com::Failed(document->get_all(all.Put())) || !all) return;
  // The first of the first ten elements of that name whose type and value
  // match: in one call where the engine can.
  std::int32_t clicked = -1;
  if (all->ClickFirstNamed(ToEngine(name), ToEngine(type), ToEngine(value), kNullText, kClickInputLimit, &clicked) !=
      com::E_NOTIMPL)
    return;
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

void enumIE::setLinkTarget(std::string target, engine::Document* document) {
  // Nothing to set up around the work on this platform.
  // Every frame first.
  setLinkTargetInFrames(target, document);
  // The document's links.
  if (!document) return;
  com::ComPtr<engine::ElementCollection> links;
  if (com::Failed(document->get_links(links.Put())) || !links) return;
  std::int32_t count = 0;
  if (com::Failed(links->get_length(&count))) return;
  const std::string newTarget = codepage::AnsiToUtf8(target);
  // Each link whose target is "_blank" in any case gets the new target: in
  // one call where the engine can.
  if (links->RetargetAnchors(kBlankTarget, newTarget) != com::E_NOTIMPL) return;
  for (std::int32_t i = 0; i < count; ++i) {
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(links->item(com::Variant(i), com::Variant(i), item.Put())) || !item) continue;
    auto anchor = engine::Query<engine::Anchor>(item.Get(), engine::IID_Anchor);
    if (!anchor) continue;
    std::string current;
    if (com::Failed(anchor->get_target(&current))) continue;
    if (codepage::EqualsNoCase(codepage::Utf8ToAnsi(current), kBlankTarget))
      anchor->put_target(newTarget);
  }
}

void enumIE::setLinkTargetInFrames(std::string target, engine::Document* document) {
  walkFrames(document, {&nEditStatus, false}, [&](engine::Document* frameDocument) {
    setLinkTarget(target, frameDocument);
  });
}
