// Elements of a page's documents (any element, with the faces of a form,
// an input and an anchor where its tag has them) and lists of elements.
#pragma once

#include <memory>
#include <string>

#include "engine/cdp/Document.h"

namespace cdp {

// The element object of a remote object id (null when the id is empty),
// as its Element face.
com::ComPtr<engine::Element> MakeElement(const com::ComPtr<DocumentImpl>& document, const RemoteHandle& owner,
                                         const std::string& objectId);

// A list of elements held by its remote handle.
com::ComPtr<engine::ElementCollection> MakeCollection(com::ComPtr<DocumentImpl> document,
                                                      std::unique_ptr<RemoteHandle> handle);

}  // namespace cdp
