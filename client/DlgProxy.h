// CVelmoraDlgAutoProxy: the automation object of the client. One is made
// for every caller that attaches to the client's automation class on the
// session bus, and ends when that caller lets go or leaves the bus. While
// one exists it is linked to the main window, whose every way of closing
// then only hides it.
#pragma once

#include <memory>
#include <vector>

namespace velmora {

class CVelmoraDlg;

class CVelmoraDlgAutoProxy {
 public:
  // Links itself to `mainWindow` when there is one.
  explicit CVelmoraDlgAutoProxy(CVelmoraDlg* mainWindow);
  // Clears the window's link, handing it to another live proxy if any.
  ~CVelmoraDlgAutoProxy();
  CVelmoraDlgAutoProxy(const CVelmoraDlgAutoProxy&) = delete;
  CVelmoraDlgAutoProxy& operator=(const CVelmoraDlgAutoProxy&) = delete;

  // The window is going: no proxy points at it any more.
  static void UnlinkAll(CVelmoraDlg* window);

  CVelmoraDlg* m_pDialog = nullptr;

 private:
  static std::vector<CVelmoraDlgAutoProxy*>& Live();
};

}  // namespace velmora
