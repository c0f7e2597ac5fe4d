// The control's own browser: it fills the control's page, loads the
// listing sites, and tells the load waits when a top-level document has
// completed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/dom.h"
#include "platform/loop.h"

class CHtmlCtrl {
 public:
  CHtmlCtrl();
  ~CHtmlCtrl();
  CHtmlCtrl(const CHtmlCtrl&) = delete;
  CHtmlCtrl& operator=(const CHtmlCtrl&) = delete;

  // Creates the browser window as a child of `parent` at the given place.
  // False when no browser engine can be had; the document methods then
  // find no document.
  bool Create(loop::HWND parent, int x, int y, int width, int height);
  void Destroy();
  bool IsCreated() const;

  void Navigate(const std::string& url);
  void MoveWindow(int x, int y, int width, int height);
  // Keyboard messages of the control go to the browser first.
  bool PreTranslateMessage(const loop::Message& m);

  // The current top-level document, or null.
  com::ComPtr<engine::Document> GetDocument() const;
  // The browser itself, or null before Create.
  com::ComPtr<engine::Browser> GetBrowser() const;
  // Where the browser window sits in its parent.
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
  };
  Rect GetWindowRect() const { return m_rect; }

  // Copy of the control's persistent property FisByUser. While 0 the
  // browser loads pages only: no images, no media.
  std::int16_t isByUser = 0;
  // Set to 1 when the top-level document completes; cleared by the methods
  // that start a load wait and by the wait that sees it. Shared with the
  // waiting threads, which keep it alive after the browser is gone.
  std::shared_ptr<std::atomic<std::uint8_t>> pageLoaded;
  // 0: dialog suppression is injected on every navigation; nonzero: pages are left alone.
  std::int32_t alertSwitch = 0;

 private:
  com::ComPtr<engine::Browser> m_browser;
  Rect m_rect;
};
