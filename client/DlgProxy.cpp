#include "client/DlgProxy.h"

#include <algorithm>

#include "client/VelmoraDlg.h"

namespace velmora {

std::vector<CVelmoraDlgAutoProxy*>& CVelmoraDlgAutoProxy::Live() {
  static auto* live = new std::vector<CVelmoraDlgAutoProxy*>();
  return *live;
}

CVelmoraDlgAutoProxy::CVelmoraDlgAutoProxy(CVelmoraDlg* mainWindow) {
  Live().push_back(this);
  if (mainWindow) {
    m_pDialog = mainWindow;
    mainWindow->m_pAutoProxy = this;
  }
}

CVelmoraDlgAutoProxy::~CVelmoraDlgAutoProxy() {
  std::erase(Live(), this);
  if (m_pDialog && m_pDialog->m_pAutoProxy == this) {
    // Another caller still attached keeps the window linked.
    auto other = std::find_if(Live().rbegin(), Live().rend(),
                              [this](CVelmoraDlgAutoProxy* p) { return p->m_pDialog == m_pDialog; });
    m_pDialog->m_pAutoProxy = other == Live().rend() ? nullptr : *other;
  }
}

void CVelmoraDlgAutoProxy::UnlinkAll(CVelmoraDlg* window) {
  for (CVelmoraDlgAutoProxy* p : Live())
    if (p->m_pDialog == window) p->m_pDialog = nullptr;
  window->m_pAutoProxy = nullptr;
}

}  // namespace velmora
