// The objects of a page that stand for its documents: a document, its
// script scope, its window and frames, and the browser of a frame.
// Elements and element lists are in Element.h.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/cdp/Page.h"
#include "engine/cdp/RemoteHandle.h"

namespace cdp {

class DocumentImpl final : public com::RefCounted<engine::Document> {
 public:
  DocumentImpl(com::ComPtr<PageImpl> page, std::string frameId, Context context, std::unique_ptr<RemoteHandle> handle);

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override;
  com::HRESULT get_Script(engine::Script** script) override;
  com::HRESULT get_frames(engine::FramesCollection** frames) override;
  com::HRESULT get_forms(engine::ElementCollection** forms) override;
  com::HRESULT get_links(engine::ElementCollection** links) override;
  com::HRESULT get_all(engine::ElementCollection** all) override;
  com::HRESULT get_body(engine::Element** body) override;
  com::HRESULT get_parentWindow(engine::Window** window) override;
  com::HRESULT get_readyState(std::string* state) override;
  com::HRESULT get_URL(std::string* url) override;
  com::HRESULT get_cookie(std::string* cookie) override;
  com::HRESULT put_cookie(std::string_view cookie) override;
  com::HRESULT get_charset(std::string* charset) override;
  com::HRESULT Save(std::vector<std::uint8_t>* source) override;

  const RemoteHandle& handle() const { return *handle_; }
  const com::ComPtr<PageImpl>& page() const { return page_; }
  com::ComPtr<DocumentImpl> Self() { return com::ComPtr<DocumentImpl>::Share(this); }

 private:
  // The document's encoding as the engine names it (iconv knows these names).
  com::HRESULT EncodingName(std::string* charset);
  // The list the function gives, asked for by each call on it.
  com::HRESULT Collection(std::string_view function, engine::ElementCollection** out);

  com::ComPtr<PageImpl> page_;
  std::string frameId_;
  Context context_;
  std::unique_ptr<RemoteHandle> handle_;
};

// The document of a frame, held by its remote handle.
com::ComPtr<engine::Document> MakeDocument(com::ComPtr<PageImpl> page, const std::string& frameId,
                                           const Context& context, std::unique_ptr<RemoteHandle> handle);

}  // namespace cdp
