// Document and frame walking: the document of a frame's window, and the
// walk that runs an operation on the document of every frame.
#include "control/automation/enumIE.h"

com::ComPtr<engine::Document> windowDocument(engine::Window* window) {
  // The window's own document, when it hands it out.
  com::ComPtr<engine::Document> document;
  if (window->get_document(document.Put()) == com::S_OK && document) return document;
  document.Reset();
  // Otherwise (another site's page, for one) through the browser that shows it.
  com::ComPtr<engine::Browser> browser = windowBrowser(window);
  if (!browser) return nullptr;
  // The browser's document, or none.
  if (com::Failed(browser->get_Document(document.Put()))) return nullptr;
  return document;
}

com::ComPtr<engine::Browser> windowBrowser(engine::Window* window) {
  // The window's service provider.
  auto services = engine::Query<com::IServiceProvider>(window, com::IID_IServiceProvider);
  if (!services) return nullptr;
  // The web browser application service.
  com::ComPtr<engine::Browser> browser;
  if (services->QueryService(com::IID_IWebBrowserApp, com::IID_IWebBrowser2, browser.PutVoid()) !=
      com::S_OK)
    return nullptr;
  return browser;
}

void enumIE::walkFrames(engine::Document* document, WalkRecording recording,
                        const std::function<void(engine::Document*)>& operation) {
  // Nothing to walk without a document.
  if (!document) return;
  // The frames collection.
  com::ComPtr<engine::FramesCollection> frames;
  if (com::Failed(document->get_frames(frames.Put())) || !frames) {
    if (recording.word) *recording.word = STATUS_NO_FRAMES;
    return;
  }
  // The number of frames.
  std::int32_t count = 0;
  if (com::Failed(frames->get_length(&count))) {
    if (recording.word) *recording.word = STATUS_NO_FRAME_COUNT;
    return;
  }
  if (count <= 0) {
    if (recording.word && recording.noFramesIsError) *recording.word = STATUS_NO_FRAME_COUNT;
    return;
  }
  // Each frame in index order; one that cannot be reached is skipped.
  for (std::int32_t i = 0; i < count; ++i) {
    com::ComPtr<com::IUnknown> item;
    if (com::Failed(frames->item(i, item.Put()))) continue;
    auto window = engine::Query<engine::Window>(item.Get(), engine::IID_Window);
    if (!window) continue;
    com::ComPtr<engine::Document> frameDocument = windowDocument(window.Get());
    operation(frameDocument.Get());
  }
  // The collection goes with `frames`.
}
