#include "control/automation/HtmlCtrl.h"

CHtmlCtrl::CHtmlCtrl() : pageLoaded(std::make_shared<std::atomic<std::uint8_t>>(0)) {}

CHtmlCtrl::~CHtmlCtrl() { Destroy(); }

bool CHtmlCtrl::Create(loop::HWND, int x, int y, int width, int height) {
  m_rect = {x, y, width, height};
  // No browser engine is linked into this build of the control yet.
  return false;
}

void CHtmlCtrl::Destroy() { m_browser.Reset(); }

bool CHtmlCtrl::IsCreated() const { return static_cast<bool>(m_browser); }

void CHtmlCtrl::Navigate(const std::string&) {}

void CHtmlCtrl::MoveWindow(int x, int y, int width, int height) { m_rect = {x, y, width, height}; }

bool CHtmlCtrl::PreTranslateMessage(const loop::Message&) { return false; }

com::ComPtr<engine::Document> CHtmlCtrl::GetDocument() const {
  if (!m_browser) return nullptr;
  com::ComPtr<engine::Document> doc;
  if (com::Failed(m_browser->get_Document(doc.Put()))) return nullptr;
  return doc;
}

com::ComPtr<engine::Browser> CHtmlCtrl::GetBrowser() const { return m_browser; }
