// The page bridge on the web-process side: `window.external` of a window's
// pages, the state its getters read, calls into the main page, message
// boxes and console messages sent to the UI process, and the completion of
// every document. The UI process describes its window in the extension's
// start-up data (host/messages.h).
#pragma once

#include <webkit2/webkit-web-extension.h>

namespace host::bridge {

// Reads the start-up data and sets the bridge up for every page of this
// web process; message boxes raised in this process go to the page's UI
// process from now on.
void Initialize(WebKitWebExtension* extension, const GVariant* startupData);

// A frame's window object was (re)created: installs what the bridge
// defines in it. Idempotent per script context.
void InstallInFrame(WebKitWebPage* page, WebKitFrame* frame);

}  // namespace host::bridge
