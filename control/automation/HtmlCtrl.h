// The control's own browser: it fills the control's page, loads the
// listing sites, and tells the load waits when a top-level document has
// completed. The browser comes from the engine the module installed
// (engine::MakeBrowser); the control sees only the engine interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/dom.h"
#include "platform/loop.h"

class CHtmlCtrl {
 public:
  CHtmlCtrl();
  ~CHtmlCtrl();
  CHtmlCtrl(const CHtmlCtrl&) = delete;
  CHtmlCtrl& operator=(const CHtmlCtrl&) = delete;

  // Creates the browser as a child of `parent` at the given place. The
  // browser process starts with the first navigation; when it cannot be
  // started (or dies), the document methods find no document and the next
  // navigation tries again.
  bool Create(loop::HWND parent, int x, int y, int width, int height);
  void Destroy();
  bool IsCreated() const;

  // Starts loading `url` (ANSI code page text); the end is reported by the completion handler,
  // which sets pageLoaded. Starts a new browser process when the last one died.
  void Navigate(const std::string& url);
  // History and reload; a failure (no history, no browser) changes nothing.
  // After the browser process died they start a new one on the last page shown.
  void Refresh();
  void GoBack();
  void GoForward();
  // The current address of the top-level document, in the ANSI code page
  // (characters it lacks become its default character); empty without one.
  std::string LocationURL() const;

  void MoveWindow(int x, int y, int width, int height);
  // The browser is seen and used in `area` (the control's area in the
  // hosting page) from now on; null: nowhere.
  void ShowIn(engine::ViewBox* area);
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

  // What the control does with an "app:" link (the text after "app:"): nothing.
  void HandleAppLink(std::string_view rest);

  // The browser's navigation events.
  void OnNavigateComplete2(std::string_view url, bool isTopLevel);
  bool OnBeforeNavigate2(std::string_view url, bool isTopLevel);
  void OnDocumentComplete(std::string_view url, bool isTopLevel);

 private:
  class Events;
  // Hands the current isByUser and alertSwitch to the browser before it loads.
  void ApplySettings();

  com::ComPtr<engine::Browser> m_browser;
  std::unique_ptr<Events> m_events;
  Rect m_rect;
};
