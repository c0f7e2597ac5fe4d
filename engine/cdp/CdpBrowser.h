// The control's own browser on Chromium, driven over the DevTools pipe: the
// engine interface of engine/dom.h for one page target.
//
// One browser process serves every page browser of the process; it is
// started by the first navigation and started again by the next navigation
// after it died. Each page browser owns one page target (the browser's
// first blank tab for the first one). Frames of every kind, out-of-process
// ones included, are reached through their main-world script contexts;
// documents, windows, collections and elements are handles to remote
// objects, released when their last reference goes.
//
// Everything runs on the thread of the loop given at creation (the page's
// thread); events are delivered there, in the order the browser sent them.
// A browser that died behaves as one without a document; no protocol call
// waits longer than ten seconds for its reply.
//
// The files of the back end, by what they do: Connection (the pipe and the
// launch), Protocol (the commands and replies), BrowserProcess (the shared
// browser and its routing), DialogAnswerer, RemoteHandle, Page (the page
// target and its event table), Document and Element (the objects of a page).
//
// VELMORA_CDP_TRACE=1 prints every event a page receives to standard error.
#pragma once

#include <sys/types.h>

#include "engine/dom.h"
#include "platform/loop.h"

namespace cdp {

class PageBrowser : public engine::Browser {
 public:
  // The browser process behind the page, -1 when none runs.
  virtual pid_t BrowserProcessId() const = 0;

 protected:
  ~PageBrowser() = default;
};

// A page browser on the loop's thread. Its page target is made by the first
// navigation. Launch settings come from the environment ($VELMORA_CHROMIUM,
// $VELMORA_SHOW_BROWSER, $VELMORA_SITE_ISOLATION) at each launch.
com::ComPtr<PageBrowser> CreatePageBrowser(loop::Loop& loop);

}  // namespace cdp

namespace engine {

// The back end as a browser maker, for engine::InstallBrowserMaker.
com::ComPtr<Browser> MakeChromiumBrowser(loop::Loop& loop);

}  // namespace engine
