// The browser engine interface: what the system's own code needs of an
// HTML engine. Two back ends implement it: JavaScriptCore for pages hosted
// in a WebKitGTK container (engine/jsc) and Chromium over its DevTools pipe
// for the control's own browser (engine/cdp).
//
// Conventions shared by every object here:
// - Objects are reference-counted interfaces (com::IUnknown); every pointer
//   handed out carries a reference for its receiver; hold them in com::ComPtr.
// - Operations return an HRESULT. A failed call is a failure code. An empty
//   result is S_OK with a null (or empty) out value: callers must check
//   both, because the walks treat "failed" and "nothing" alike only where
//   they say so. Back ends never throw; callers that must survive a C++
//   exception (std::bad_alloc, or one from a back end that breaks this
//   rule) catch it themselves.
// - Objects that have several faces (an element that is also a form, a
//   window that is also a service provider) hand each face out through
//   QueryInterface with the ids below. Asking for a face the object lacks
//   gives E_NOINTERFACE; asking an object whose document has gone may give
//   E_GONE.
// - Texts are UTF-8. Callers working in the ANSI code page convert at this
//   boundary.
// - Every call is made on the thread that owns the browser (the page's
//   thread); no object here is thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace loop {
class Loop;
}

namespace engine {

class Document;
class Window;
class Element;
class ViewBox;  // engine/view.h

// Ids of the faces. The browser answers the platform's web browser id, as
// the hosting container hands it out under that id.
inline const com::IID& IID_Browser = com::IID_IWebBrowser2;
inline constexpr com::IID IID_Document{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x01}};
inline constexpr com::IID IID_Window{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x02}};
inline constexpr com::IID IID_FramesCollection{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x03}};
inline constexpr com::IID IID_ElementCollection{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x04}};
inline constexpr com::IID IID_Element{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x05}};
inline constexpr com::IID IID_Form{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x06}};
inline constexpr com::IID IID_Input{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x07}};
inline constexpr com::IID IID_Anchor{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x08}};
inline constexpr com::IID IID_Script{0x7B1E0A01, 0x52C4, 0x4F0B, {0x9A, 0x11, 0x3E, 0x6C, 0x51, 0x20, 0x00, 0x09}};

// Failure codes the back ends use beside those of com.h.
constexpr com::HRESULT E_ACCESSDENIED = com::E_ACCESSDENIED;  // another site's document
constexpr com::HRESULT E_GONE = static_cast<com::HRESULT>(0x80070490);  // the object no longer exists

// Load state of a browser, with the platform's values.
enum ReadyState : std::int32_t {
  READYSTATE_UNINITIALIZED = 0,
  READYSTATE_LOADING = 1,
  READYSTATE_LOADED = 2,
  READYSTATE_INTERACTIVE = 3,
  READYSTATE_COMPLETE = 4,
};

// What a browser reports while it navigates. Called on the browser's
// thread, in the order the engine reports them. `isTopLevel` tells the
// top-level document from a frame's.
class BrowserEvents {
 public:
  virtual ~BrowserEvents() = default;
  // A navigation that a page starts itself (a link, a form, a script);
  // Navigate and the history moves do not report one. Returning false asks
  // for the navigation to be cancelled, which a back end does only where
  // it can hold the navigation back: the Chromium back end reports these
  // navigations without holding them, so there the answer changes nothing
  // for an address the browser loads (http, https), while one it does not
  // load itself (such as "app:") never loads either way.
  virtual bool BeforeNavigate2(std::string_view url, bool isTopLevel) = 0;
  // A new document is in place (its script can be reached).
  virtual void NavigateComplete2(std::string_view url, bool isTopLevel) = 0;
  // A document (the top level's once per load) has finished loading.
  virtual void DocumentComplete(std::string_view url, bool isTopLevel) = 0;
  // A navigation started by Navigate failed (the site could not be reached).
  virtual void NavigateError(std::string_view url, bool isTopLevel, std::int32_t status) = 0;
};

// A browser: the hosting page's (or one of its frames') inside the
// container, or the control's own.
class Browser : public com::IUnknown {
 public:
  // The top-level document, or null while nothing is loaded.
  virtual com::HRESULT get_Document(Document** document) = 0;
  // The current address (UTF-8).
  virtual com::HRESULT get_LocationURL(std::string* url) = 0;
  // The operations below answer E_NOTIMPL unless the browser offers them
  // (a browser of a hosted page has no events, for one).
  // READYSTATE_COMPLETE once the top-level document has loaded.
  virtual com::HRESULT get_ReadyState(std::int32_t*) { return com::E_NOTIMPL; }
  // Starts loading; the end is reported by DocumentComplete.
  virtual com::HRESULT Navigate(std::string_view) { return com::E_NOTIMPL; }
  // Effect only; callers ignore failures.
  virtual com::HRESULT Refresh() { return com::E_NOTIMPL; }
  virtual com::HRESULT GoBack() { return com::E_NOTIMPL; }
  virtual com::HRESULT GoForward() { return com::E_NOTIMPL; }
  // Silent: the page's own dialogs are suppressed.
  virtual com::HRESULT put_Silent(bool) { return com::E_NOTIMPL; }
  // One sink at a time; null removes it.
  virtual com::HRESULT Advise(BrowserEvents*) { return com::E_NOTIMPL; }
  // What the control needs of its own browser besides:
  // false loads pages only, no images and no media (every frame, from the
  // next request on);
  virtual com::HRESULT SetLoadImages(bool) { return com::E_NOTIMPL; }
  // a script that runs in every new document of every frame before the
  // page's own scripts (empty for none; replaces the last one, from the
  // next document on);
  virtual com::HRESULT SetNewDocumentScript(std::string_view) { return com::E_NOTIMPL; }
  // the size of the page's view in pixels;
  virtual com::HRESULT SetViewSize(int, int) { return com::E_NOTIMPL; }
  // the page shown in a box of the hosting page and driven by its input
  // (engine/view.h); null stops showing it.
  virtual com::HRESULT ShowView(ViewBox*) { return com::E_NOTIMPL; }

 protected:
  ~Browser() = default;
};

// The global scope of a document's script.
class Script : public com::IUnknown {
 public:
  // Finds a global function by its exact name. DISP_E_UNKNOWNNAME when the
  // scope has nothing callable of that name (an empty name is never found).
  virtual com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) = 0;
  // Calls the function with text arguments, first argument first. A script
  // error inside the function gives DISP_E_EXCEPTION. The result may be null.
  virtual com::HRESULT Invoke(com::DISPID id, const std::vector<std::string>& args,
                              com::Variant* result) = 0;

 protected:
  ~Script() = default;
};

// The frames of a document, in document order.
class FramesCollection : public com::IUnknown {
 public:
  virtual com::HRESULT get_length(std::int32_t* length) = 0;
  // The frame's object; query it for IID_Window.
  virtual com::HRESULT item(std::int32_t index, com::IUnknown** frame) = 0;

 protected:
  ~FramesCollection() = default;
};

// Batched operations. An engine whose every call crosses a process
// boundary offers these so that the per-element work of one operation on
// one document travels to the engine together, in one call, whatever the
// number of elements. Each does exactly what the per-element calls named
// in its description would do, in the same order, clicks and writes
// included; an engine that does not offer one answers E_NOTIMPL and the
// caller makes the per-element calls itself. Texts compare in UTF-8, with
// only the ASCII letters folded where a comparison ignores case.

// What one entry of a link list was, as a scan by text found it.
enum class LinkOutcome : std::int32_t {
  NotAnchor,  // not an anchor element (an image-map area, for one)
  NoMatch,    // an anchor whose text differs
  Clicked,    // an anchor whose text matched: clicked
  Failed,     // treating the entry failed: the scan ended there
};

// One piece of a batched fill: a field name and its value.
struct FieldValue {
  std::string name;
  std::string value;
};

// What a batched fill did with one piece.
enum class FieldOutcome : std::int32_t {
  LookupFailed,  // item(name, 0) failed
  NotAnInput,    // nothing of that name, or an element that is no input: left alone
  GroupScanned,  // a radio button or checkbox: its group was scanned, matches clicked
  ValueSet,      // any other input: its value was set (the write's own outcome not looked at)
  Failed,        // setting the field failed
};

// A list of elements (forms, links, all elements of a document).
class ElementCollection : public com::IUnknown {
 public:
  virtual com::HRESULT get_length(std::int32_t* length) = 0;
  // With a number as name: the element at that position. With a text as
  // name: the index-th element (from 0) whose id or name attribute is that
  // text. Null when there is none. Query the result for the face needed.
  virtual com::HRESULT item(const com::Variant& name, const com::Variant& index,
                            com::IUnknown** element) = 0;

  // Batched (see above). Over the whole list, in order: an entry that is
  // no anchor is NotAnchor; an anchor whose innerText equals `text` exactly
  // is clicked; a failure ends the scan with Failed. Every entry the scan
  // reached gets an outcome. All clicks happen before anything a click
  // started (a navigation) can take the list away.
  virtual com::HRESULT ClickAnchorsByText(std::string_view, std::vector<LinkOutcome>*) { return com::E_NOTIMPL; }
  // Batched. For i from 0 to limit - 1: item(name, i); a failed lookup is
  // passed over, none (or no element) ends the search. The first element
  // whose "type" and "value" properties equal `type` and `value` ignoring
  // case is clicked and ends the search; a property the element lacks, a
  // null one or an empty one reads as `missing`. *clicked: the position
  // clicked, or -1.
  virtual com::HRESULT ClickFirstNamed(std::string_view /*name*/, std::string_view /*type*/,
                                       std::string_view /*value*/, std::string_view /*missing*/,
                                       std::int32_t /*limit*/, std::int32_t* /*clicked*/) {
    return com::E_NOTIMPL;
  }
  // Batched. Every anchor of the list whose target equals `from` ignoring
  // case gets the target `to`; other entries and unreadable ones are passed over.
  virtual com::HRESULT RetargetAnchors(std::string_view /*from*/, std::string_view /*to*/) { return com::E_NOTIMPL; }

 protected:
  ~ElementCollection() = default;
};

class Document : public com::IUnknown {
 public:
  virtual com::HRESULT get_Script(Script** script) = 0;
  // Fails when the document shows in no window.
  virtual com::HRESULT get_frames(FramesCollection** frames) = 0;
  virtual com::HRESULT get_forms(ElementCollection** forms) = 0;
  virtual com::HRESULT get_links(ElementCollection** links) = 0;
  virtual com::HRESULT get_all(ElementCollection** all) = 0;
  virtual com::HRESULT get_body(Element** body) = 0;
  virtual com::HRESULT get_parentWindow(Window** window) = 0;
  // "loading", "interactive" or "complete".
  virtual com::HRESULT get_readyState(std::string* state) = 0;
  virtual com::HRESULT get_URL(std::string* url) = 0;
  virtual com::HRESULT get_cookie(std::string* cookie) = 0;
  virtual com::HRESULT put_cookie(std::string_view cookie) = 0;
  virtual com::HRESULT get_charset(std::string* charset) = 0;
  // The page's source as bytes in the page's charset.
  virtual com::HRESULT Save(std::vector<std::uint8_t>* source) = 0;

 protected:
  ~Document() = default;
};

// A window: the top-level page's or a frame's. Also answers
// com::IID_IServiceProvider; QueryService(com::IID_IWebBrowserApp,
// com::IID_IWebBrowser2) gives the browser that shows the window, whose
// get_Document answers even where get_document is refused (another site's
// frame).
class Window : public com::IUnknown {
 public:
  // The window's document; fails (E_ACCESSDENIED) for a page of another site.
  virtual com::HRESULT get_document(Document** document) = 0;
  // Runs code in the window's global scope. Only "JavaScript" (any case) is
  // a known language. A script error gives DISP_E_EXCEPTION.
  virtual com::HRESULT execScript(std::string_view code, std::string_view language,
                                  com::Variant* result) = 0;

 protected:
  ~Window() = default;
};

// Any element.
class Element : public com::IUnknown {
 public:
  virtual com::HRESULT get_tagName(std::string* tag) = 0;  // upper case
  // May start a navigation.
  virtual com::HRESULT click() = 0;
  virtual com::HRESULT get_innerText(std::string* text) = 0;
  // `where` is one of "beforeBegin", "afterBegin", "beforeEnd", "afterEnd".
  virtual com::HRESULT insertAdjacentHTML(std::string_view where, std::string_view html) = 0;
  // A named property of the element ("type", "value"); DISP_E_UNKNOWNNAME
  // when the element has no such property.
  virtual com::HRESULT GetProperty(std::string_view name, com::Variant* value) = 0;

 protected:
  ~Element() = default;
};

class Form : public com::IUnknown {
 public:
  virtual com::HRESULT get_name(std::string* name) = 0;
  virtual com::HRESULT get_length(std::int32_t* length) = 0;
  // The form's controls, with the rules of ElementCollection::item.
  virtual com::HRESULT item(const com::Variant& name, const com::Variant& index,
                            com::IUnknown** element) = 0;
  virtual com::HRESULT submit() = 0;
  virtual com::HRESULT get_action(std::string* action) = 0;
  virtual com::HRESULT put_action(std::string_view action) = 0;

  // Batched (see above): the pieces in order, each as these calls would
  // set it: item(name, 0) (failed: LookupFailed); no input: NotAnInput; a
  // "radio" or "checkbox" input (any case): for i from 0 to groupLimit - 1,
  // item(name, i) (failed: passed over; none or no input: the group has
  // ended), every one whose value equals the piece's value ignoring case is
  // clicked, GroupScanned; any other input: put_value, ValueSet.
  // A piece whose field is a file input is not touched: the fill stops
  // before it, so that the caller sets that field and goes on with the
  // pieces after it. *outcomes gets one outcome per piece done, so it is
  // shorter than `fields` exactly when the fill stopped before a file input.
  virtual com::HRESULT FillFields(std::span<const FieldValue> /*fields*/, std::int32_t /*groupLimit*/,
                                  std::vector<FieldOutcome>* /*outcomes*/) {
    return com::E_NOTIMPL;
  }

 protected:
  ~Form() = default;
};

class Input : public com::IUnknown {
 public:
  virtual com::HRESULT get_type(std::string* type) = 0;
  virtual com::HRESULT get_name(std::string* name) = 0;
  virtual com::HRESULT get_value(std::string* value) = 0;
  virtual com::HRESULT put_value(std::string_view value) = 0;
  // Gives a file input local files (absolute paths) at once, as a person
  // picking them would: an input without "multiple" takes the first only,
  // its "input" and "change" events fire, and its page learns the files'
  // names and contents, never their paths. E_INVALIDARG for an element
  // that is no file input; E_NOTIMPL where the engine cannot give a page
  // files, as a page's own script cannot.
  virtual com::HRESULT SetFiles(std::span<const std::string>) { return com::E_NOTIMPL; }

 protected:
  ~Input() = default;
};

class Anchor : public com::IUnknown {
 public:
  virtual com::HRESULT get_href(std::string* href) = 0;
  virtual com::HRESULT get_target(std::string* target) = 0;
  virtual com::HRESULT put_target(std::string_view target) = 0;

 protected:
  ~Anchor() = default;
};

// The control's own browsers come from a maker that the module installs
// for the back end it links, before its first control is made. Without
// one, the control has no browser and behaves as one without a document.
using BrowserMaker = com::ComPtr<Browser> (*)(loop::Loop& loop);

inline BrowserMaker& InstalledBrowserMaker() {
  static BrowserMaker maker = nullptr;
  return maker;
}
inline void InstallBrowserMaker(BrowserMaker maker) { InstalledBrowserMaker() = maker; }
// A new browser on the loop's thread; null when no maker is installed.
inline com::ComPtr<Browser> MakeBrowser(loop::Loop& loop) {
  BrowserMaker maker = InstalledBrowserMaker();
  return maker ? maker(loop) : nullptr;
}

// Asks `object` for face T with `iid`; null when it has none.
template <typename T>
com::ComPtr<T> Query(com::IUnknown* object, const com::IID& iid) {
  com::ComPtr<T> out;
  if (object && com::Failed(object->QueryInterface(iid, out.PutVoid()))) out.Reset();
  return out;
}

}  // namespace engine
