// The program's icon in the notification area. On today's desktops it is a
// status-notifier item on the session bus (what the panels of the common
// desktops show), with a menu they draw themselves; where no
// status-notifier watcher runs, the legacy tray icon stands in. When
// neither is shown anywhere, Available() says so, and the owner must keep
// its window reachable some other way.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace host {

class TrayIconEvents {
 public:
  virtual ~TrayIconEvents() = default;
  // The icon was clicked with the first button (or activated).
  virtual void OnTrayActivate() = 0;
  // An item of the icon's menu was chosen.
  virtual void OnTrayMenuItem(int id) = 0;
};

struct TrayMenuItem {
  int id;
  std::string label;  // UTF-8
};

class TrayIcon {
 public:
  TrayIcon(const std::string& tip, std::vector<TrayMenuItem> menu, TrayIconEvents* events);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Some tray shows the icon now.
  bool Available() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace host
