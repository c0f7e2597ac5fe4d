// The browser engine interface: what the system's own code needs of an
// HTML engine. Objects are reference-counted interfaces; every pointer
// handed out carries a reference for its receiver.
#pragma once

#include <string>

#include "platform/com.h"

namespace engine {

class Document;

// A browser: the hosting page's (inside the container) or the control's own.
class Browser : public com::IUnknown {
 public:
  // The top-level document, or null while nothing is loaded.
  virtual com::HRESULT get_Document(Document** document) = 0;
  // The current address (UTF-8).
  virtual com::HRESULT get_LocationURL(std::string* url) = 0;

 protected:
  ~Browser() = default;
};

class Document : public com::IUnknown {
 protected:
  ~Document() = default;
};

}  // namespace engine
