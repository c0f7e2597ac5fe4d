// The control's page: a child window that holds nothing but the hidden
// browser, which takes the place of the page's placeholder and fills it.
#pragma once

#include <memory>

#include "control/automation/HtmlCtrl.h"
#include "engine/view.h"
#include "platform/loop.h"

class CWendexPropPage {
 public:
  CWendexPropPage();
  ~CWendexPropPage();

  // Creates the page window (template 200) as a child of `parent` and runs
  // its initialisation; false when the window cannot be made. The browser
  // shows in `area` (the control's area in the hosting page), when given.
  bool Create(loop::Loop& loop, loop::HWND parent, engine::ViewBox* area = nullptr);
  void DestroyWindow();
  bool HasWindow() const { return static_cast<bool>(m_pWnd); }
  loop::HWND hwnd() const;

  // Moves the page within its parent (a WM_SIZE reaches the page).
  void MoveWindow(int x, int y, int width, int height);

  CHtmlCtrl m_browser;

  // Size of template 200 in pixels (dialog units at the 9-point font).
  static constexpr int kTemplateWidth = 383;
  static constexpr int kTemplateHeight = 265;

 private:
  class Window;
  bool OnInitDialog(engine::ViewBox* area);
  loop::LRESULT OnSize(loop::Message& m);

  std::unique_ptr<Window> m_pWnd;
  loop::HWND m_parent = 0;
  int m_width = kTemplateWidth, m_height = kTemplateHeight;
};
