// Wendex.ocx: everything else comes from the control's library. This file
// is where the module picks its engine: the control's own browsers are
// Chromium, driven over the DevTools pipe. The control sees only the
// engine interface.
#include "engine/cdp/CdpBrowser.h"

namespace {

// Installed while the module loads, before any control can be made.
const bool kBrowsersInstalled = (engine::InstallBrowserMaker(&engine::MakeChromiumBrowser), true);

}  // namespace
