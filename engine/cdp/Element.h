// Elements of a page's documents (any element, with the faces of a form,
// an input and an anchor where its tag has them) and lists of elements.
#pragma once

#include <memory>
#include <string>

#include "engine/cdp/Document.h"

namespace cdp {

// The element object of a remote object id (null when the id is empty),
// as its Element face. `className`, the class the page gave for the
// object, spares asking the page for the element's tag where it tells it.
com::ComPtr<engine::Element> MakeElement(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& owner,
                                         const std::string& objectId, std::string_view className = {});

// A list of elements of a document: `list` is the function that gives the
// list with the document as `this`. The list is asked for anew by each
// call, as a live list of the document would answer.
com::ComPtr<engine::ElementCollection> MakeCollection(com::ComPtr<DocumentImpl> document, std::string list);

}  // namespace cdp
