#include "control/WendexPropPage.h"

#include "control/ServiceHost.h"

namespace {
constexpr const char* kWelcomePath = "/ocx/welcome.html";
}

class CWendexPropPage::Window : public loop::MessageTarget {
 public:
  Window(loop::Loop& l, CWendexPropPage& page) : MessageTarget(l), page_(page) {}

 protected:
  loop::LRESULT WindowProc(loop::Message& m) override {
    if (m.msg == loop::WM_SIZE) return page_.OnSize(m);
    return 0;
  }

 private:
  CWendexPropPage& page_;
};

CWendexPropPage::CWendexPropPage() = default;
CWendexPropPage::~CWendexPropPage() { DestroyWindow(); }

bool CWendexPropPage::Create(loop::Loop& loop, loop::HWND parent, engine::ViewBox* area) {
  m_parent = parent;
  m_pWnd = std::make_unique<Window>(loop, *this);
  return OnInitDialog(area);
}

void CWendexPropPage::DestroyWindow() {
  m_browser.Destroy();
  m_pWnd.reset();
}

loop::HWND CWendexPropPage::hwnd() const { return m_pWnd ? m_pWnd->hwnd() : 0; }

bool CWendexPropPage::OnInitDialog(engine::ViewBox* area) {
  // The browser takes the placeholder's rectangle (the whole template) and its id.
  if (m_browser.Create(hwnd(), 0, 0, m_width, m_height)) {
    m_browser.ShowIn(area);
    m_browser.Navigate(wendex::ServiceOrigin() + kWelcomePath);
  }
  return true;
}

void CWendexPropPage::MoveWindow(int x, int y, int width, int height) {
  (void)x;
  (void)y;
  if (!m_pWnd) return;
  m_pWnd->SendMessage(loop::WM_SIZE, loop::SIZE_RESTORED, loop::MakeLParam(width, height));
}

loop::LRESULT CWendexPropPage::OnSize(loop::Message& m) {
  if (m.wParam == loop::SIZE_MINIMIZED) return 0;
  m_width = loop::LoWord(m.lParam);
  m_height = loop::HiWord(m.lParam);
  m_browser.MoveWindow(0, 0, m_width, m_height);
  return 0;
}
