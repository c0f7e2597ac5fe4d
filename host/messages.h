// Every message between a web process (the host extension) and the UI
// process of a window that shows service pages, with the GVariant type of
// its parameters. Both sides include this header; it holds names and types
// only, so that neither side's toolkit headers leak into the other.
//
// Page -> UI process messages are asynchronous: the web process never waits
// for the UI process. Getters of `window.external` read state that the UI
// process pushed ahead of time; pushes and calls travel on the page's one
// connection, in order, so a call sent after a push sees the pushed value.
#pragma once

namespace host::msg {

// --- Web process -> UI process (webkit_web_page_send_message_to_view) ---

// One console message of a page (any frame), UTF-8.
inline constexpr char kConsole[] = "velmora.console";
inline constexpr char kConsoleType[] = "s";

// An action of `window.external` (a method without a pushed state): its
// DISPID, its name as the window's table spells it, and its arguments as
// UTF-8 texts (missing arguments are not sent).
inline constexpr char kExternalCall[] = "velmora.external";
inline constexpr char kExternalCallType[] = "(isas)";

// A message box raised in the web process: caption, text (UTF-8), style.
// The web process goes on at once with the box's default answer.
inline constexpr char kMessageBox[] = "velmora.msgbox";
inline constexpr char kMessageBoxType[] = "(ssu)";

// A document of the page completed (its load event), in any frame: its
// address and whether it is the main frame's.
inline constexpr char kDocumentComplete[] = "velmora.document-complete";
inline constexpr char kDocumentCompleteType[] = "(sb)";

// A click on (or inside) an element of the main document whose id the
// window asked for.
inline constexpr char kElementClick[] = "velmora.element-click";
inline constexpr char kElementClickType[] = "s";

// --- UI process -> web process (webkit_web_view_send_message_to_page) ---

// New values of the state that getters read, by state key; values are
// int32 or UTF-8 strings.
inline constexpr char kState[] = "velmora.state";
inline constexpr char kStateType[] = "a{sv}";

// Call a global function of the main page's script with text arguments;
// a missing function is skipped and errors it throws are ignored.
inline constexpr char kCallFunction[] = "velmora.call";
inline constexpr char kCallFunctionType[] = "(sas)";

// Put a text of HTML into the main document's element with this id
// (replacing its content) and run the scripts it holds, in order; nothing
// happens when the document has no such element.
inline constexpr char kSetElementHtml[] = "velmora.element-html";
inline constexpr char kSetElementHtmlType[] = "(ss)";

// Give back the memory the web process can spare.
inline constexpr char kTrimMemory[] = "velmora.trim";

// --- Start-up data of the extension (one a{sv} per web context) ---

// The methods of `window.external`, in DISPID order: name and state key
// (empty for an action). No member: the pages get no `window.external`.
inline constexpr char kInitExternal[] = "external";
inline constexpr char kInitExternalType[] = "a(ss)";
// The state the getters see before the first push.
inline constexpr char kInitState[] = "state";
// The ids of the main document's elements whose clicks are reported.
inline constexpr char kInitClickIds[] = "click-ids";
inline constexpr char kInitClickIdsType[] = "as";

}  // namespace host::msg
