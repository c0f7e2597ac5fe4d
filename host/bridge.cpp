#include "host/bridge.h"

#include <malloc.h>

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/jsc/jsc_engine.h"
#include "host/messages.h"
#include "platform/com.h"
#include "platform/msgbox.h"

namespace host::bridge {

namespace {

constexpr char kExternalClassName[] = "External";
constexpr char kInstalledKey[] = "velmora-bridge-installed";
constexpr char kExternalClassKey[] = "velmora-bridge-class";

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// One method of `window.external`; its DISPID is its position + 1.
struct Method {
  std::string name;
  std::string stateKey;  // empty: an action, reported to the UI process
};

struct Setup {
  WebKitWebExtension* extension = nullptr;
  std::vector<Method> external;
  std::map<std::string, VariantPtr> initialState;
  std::vector<std::string> clickIds;
};

Setup& TheSetup() {
  static auto* setup = new Setup();
  return *setup;
}

// The state each page's getters read, by page id.
std::map<guint64, std::map<std::string, VariantPtr>>& PageStates() {
  static auto* states = new std::map<guint64, std::map<std::string, VariantPtr>>();
  return *states;
}

// Pages of this process in the order they were created.
std::vector<guint64>& Pages() {
  static auto* pages = new std::vector<guint64>();
  return *pages;
}

WebKitWebPage* PageById(guint64 id) { return webkit_web_extension_get_page(TheSetup().extension, id); }

void Send(WebKitWebPage* page, const char* name, GVariant* parameters) {
  webkit_web_page_send_message_to_view(page, webkit_user_message_new(name, parameters), nullptr, nullptr,
                                       nullptr);
}

// --- Message boxes ----------------------------------------------------------

struct PendingBox {
  std::string caption, text;
  unsigned style;
};

gboolean DeliverBox(gpointer data) {
  auto* box = static_cast<PendingBox*>(data);
  for (guint64 id : Pages()) {
    if (WebKitWebPage* page = PageById(id)) {
      Send(page, msg::kMessageBox,
           g_variant_new(msg::kMessageBoxType, box->caption.c_str(), box->text.c_str(), box->style));
      return G_SOURCE_REMOVE;
    }
  }
  msgbox::LogProvider().Show(box->caption, box->text, box->style);
  return G_SOURCE_REMOVE;
}

// Hands each box to the UI process of this web process's page and answers
// at once with the box's default button: the page's thread never waits for
// the user. Boxes raised on other threads travel to the page's thread first.
class UiProcessBoxes : public msgbox::Provider {
 public:
  int Show(std::string_view caption, std::string_view text, unsigned style) override {
    auto valid = [](std::string_view s) {
      gchar* v = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
      std::string out(v);
      g_free(v);
      return out;
    };
    auto* box = new PendingBox{valid(caption), valid(text), style};
    g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, &DeliverBox, box,
                               [](gpointer b) { delete static_cast<PendingBox*>(b); });
    return (style & 0xF) == msgbox::MB_YESNO ? msgbox::IDYES : msgbox::IDOK;
  }
};

// --- window.external --------------------------------------------------------

struct ExternalInstance {
  guint64 pageId;
};

struct MethodRef {
  guint64 pageId;
  std::size_t index;
};

JSCValue* FromState(JSCContext* context, GVariant* value) {
  if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
    return jsc_value_new_number(context, g_variant_get_int32(value));
  if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
    return jsc_value_new_string(context, g_variant_get_string(value, nullptr));
  return jsc_value_new_undefined(context);
}

JSCValue* OnExternalMethodUnguarded(GPtrArray* args, gpointer data) {
  auto* ref = static_cast<MethodRef*>(data);
  JSCContext* context = jsc_context_get_current();
  const Method& method = TheSetup().external[ref->index];
  // A getter answers at once from the pushed state.
  if (!method.stateKey.empty()) {
    auto& states = PageStates();
    auto page = states.find(ref->pageId);
    if (page != states.end()) {
      auto value = page->second.find(method.stateKey);
      if (value != page->second.end()) return FromState(context, value->second.get());
    }
    return jsc_value_new_undefined(context);
  }
  // An action goes to the UI process; the page does not wait for it.
  WebKitWebPage* page = PageById(ref->pageId);
  if (!page) return jsc_value_new_undefined(context);
  std::vector<std::string> texts;
  for (guint i = 0; i < args->len; ++i)
    texts.push_back(com::VariantToText(engine::jsc::ToVariant(static_cast<JSCValue*>(args->pdata[i]))));
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
  for (const std::string& text : texts) {
    g_autofree gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    g_variant_builder_add(&list, "s", valid);
  }
  Send(page, msg::kExternalCall,
       g_variant_new(msg::kExternalCallType, static_cast<gint32>(ref->index + 1), method.name.c_str(), &list));
  return jsc_value_new_undefined(context);
}

// No C++ exception crosses into the page's script.
JSCValue* OnExternalMethod(GPtrArray* args, gpointer data) {
  try {
    return OnExternalMethodUnguarded(args, data);
  } catch (...) {
    jsc_context_throw(jsc_context_get_current(), "external: internal error");
    return nullptr;
  }
}

// A name of the table, in any case, is one of its methods.
JSCValue* GetExternalProperty(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
  auto& table = TheSetup().external;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (g_ascii_strcasecmp(table[i].name.c_str(), name) != 0) continue;
    auto* ref = new (std::nothrow) MethodRef{static_cast<ExternalInstance*>(instance)->pageId, i};
    if (!ref) return nullptr;
    return jsc_value_new_function_variadic(
        context, table[i].name.c_str(), G_CALLBACK(OnExternalMethod), ref,
        [](gpointer r) { delete static_cast<MethodRef*>(r); }, JSC_TYPE_VALUE);
  }
  return nullptr;
}

JSCClass* ExternalClass(JSCContext* context) {
  if (auto* cls = static_cast<JSCClass*>(g_object_get_data(G_OBJECT(context), kExternalClassKey))) return cls;
  static JSCClassVTable vtable = {GetExternalProperty, nullptr, nullptr, nullptr, nullptr};
  JSCClass* cls = jsc_context_register_class(context, kExternalClassName, nullptr, &vtable,
                                             [](gpointer i) { delete static_cast<ExternalInstance*>(i); });
  g_object_set_data(G_OBJECT(context), kExternalClassKey, cls);
  return cls;
}

// --- Documents and clicks -----------------------------------------------------

struct FrameOfPage {
  guint64 pageId;
  GWeakRef frame;
  FrameOfPage(guint64 id, WebKitFrame* f) : pageId(id) { g_weak_ref_init(&frame, f); }
  ~FrameOfPage() { g_weak_ref_clear(&frame); }
};

void FreeFrameOfPage(gpointer p) { delete static_cast<FrameOfPage*>(p); }

void OnDocumentLoaded(gpointer data) {
  auto* ref = static_cast<FrameOfPage*>(data);
  g_autoptr(WebKitFrame) frame = static_cast<WebKitFrame*>(g_weak_ref_get(&ref->frame));
  WebKitWebPage* page = PageById(ref->pageId);
  if (!frame || !page) return;
  const char* uri = webkit_frame_get_uri(frame);
  Send(page, msg::kDocumentComplete,
       g_variant_new(msg::kDocumentCompleteType, uri ? uri : "", webkit_frame_is_main_frame(frame)));
}

void OnElementClicked(const char* id, gpointer data) {
  WebKitWebPage* page = PageById(static_cast<FrameOfPage*>(data)->pageId);
  if (page && id) Send(page, msg::kElementClick, g_variant_new(msg::kElementClickType, id));
}

// The first listeners of the frame's window, added before any page script:
// the page can neither run before them nor stop the event on its way.
constexpr char kLoadWatch[] = "(function(done){ addEventListener('load', function(){ done(); }); })";
constexpr char kClickWatch[] = R"JS((function(report, ids){
  addEventListener('click', function(e){
    for (var n = e.target; n; n = n.parentNode)
      if (n.id && ids.indexOf(n.id) >= 0) { report(String(n.id)); return; }
  }, true);
}))JS";

void CallSetup(JSCContext* context, const char* source, JSCValue* first, const std::vector<std::string>* texts) {
  engine::jsc::CatchScope scope(context);
  g_autoptr(JSCValue) function = jsc_context_evaluate(context, source, -1);
  if (!function || !jsc_value_is_function(function)) return;
  g_autoptr(JSCValue) result = nullptr;
  if (texts) {
    std::vector<const char*> strv;
    for (auto& t : *texts) strv.push_back(t.c_str());
    strv.push_back(nullptr);
    result = jsc_value_function_call(function, JSC_TYPE_VALUE, first, G_TYPE_STRV, strv.data(), G_TYPE_NONE);
  } else {
    result = jsc_value_function_call(function, JSC_TYPE_VALUE, first, G_TYPE_NONE);
  }
  if (scope.thrown()) g_warning("velmora bridge: %s", scope.message().c_str());
}

// --- Messages from the UI process ----------------------------------------------

// The script context of the page's main frame (a new reference), or null.
JSCContext* MainFrameContext(WebKitWebPage* page) {
  // The page's main frame: still the one way to reach it in this API.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  WebKitFrame* main = webkit_web_page_get_main_frame(page);
  G_GNUC_END_IGNORE_DEPRECATIONS
  return main ? webkit_frame_get_js_context(main) : nullptr;
}

// Calls a global function of the main page with text arguments; a missing
// function is skipped, an error it throws is ignored.
void CallPageFunction(WebKitWebPage* page, const char* name, GVariant* texts) {
  g_autoptr(JSCContext) context = MainFrameContext(page);
  if (!context) return;
  engine::jsc::CatchScope scope(context);
  g_autoptr(JSCValue) function = jsc_context_get_value(context, name);
  if (!function || !jsc_value_is_function(function)) return;
  GPtrArray* args = g_ptr_array_new_with_free_func(g_object_unref);
  GVariantIter iter;
  g_variant_iter_init(&iter, texts);
  for (const gchar* text = nullptr; g_variant_iter_next(&iter, "&s", &text);)
    g_ptr_array_add(args, jsc_value_new_string(context, text));
  g_autoptr(JSCValue) result = jsc_value_function_callv(function, args->len, reinterpret_cast<JSCValue**>(args->pdata));
  g_ptr_array_unref(args);
}

// Replaces an element's content with HTML and runs its scripts: scripts
// set through innerHTML never run, so each is replaced by a fresh copy.
constexpr char kSetElementHtml[] = R"JS((function(id, html){
  var e = document.getElementById(id);
  if (!e) return;
  e.innerHTML = html;
  var old = Array.prototype.slice.call(e.getElementsByTagName('script'));
  for (var i = 0; i < old.length; i++) {
    var s = document.createElement('script');
    for (var j = 0; j < old[i].attributes.length; j++) s.setAttribute(old[i].attributes[j].name, old[i].attributes[j].value);
    s.text = old[i].text;
    old[i].parentNode.replaceChild(s, old[i]);
  }
}))JS";

void SetElementHtml(WebKitWebPage* page, const char* id, const char* html) {
  g_autoptr(JSCContext) context = MainFrameContext(page);
  if (!context) return;
  engine::jsc::CatchScope scope(context);
  g_autoptr(JSCValue) function = jsc_context_evaluate(context, kSetElementHtml, -1);
  if (!function || !jsc_value_is_function(function)) return;
  g_autoptr(JSCValue) result =
      jsc_value_function_call(function, G_TYPE_STRING, id, G_TYPE_STRING, html, G_TYPE_NONE);
  if (scope.thrown()) g_warning("velmora bridge: %s", scope.message().c_str());
}

gboolean OnUserMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
  const char* name = webkit_user_message_get_name(message);
  GVariant* parameters = webkit_user_message_get_parameters(message);
  if (std::strcmp(name, msg::kState) == 0) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(msg::kStateType))) return TRUE;
    auto& state = PageStates()[webkit_web_page_get_id(page)];
    GVariantIter iter;
    g_variant_iter_init(&iter, parameters);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) state[key] = VariantPtr(value);
    return TRUE;
  }
  if (std::strcmp(name, msg::kCallFunction) == 0) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(msg::kCallFunctionType))) return TRUE;
    const gchar* function = nullptr;
    g_autoptr(GVariant) texts = nullptr;
    g_variant_get(parameters, "(&s@as)", &function, &texts);
    CallPageFunction(page, function, texts);
    return TRUE;
  }
  if (std::strcmp(name, msg::kSetElementHtml) == 0) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(msg::kSetElementHtmlType))) return TRUE;
    const gchar *id = nullptr, *html = nullptr;
    g_variant_get(parameters, "(&s&s)", &id, &html);
    SetElementHtml(page, id, html);
    return TRUE;
  }
  if (std::strcmp(name, msg::kTrimMemory) == 0) {
    malloc_trim(0);
    return TRUE;
  }
  return FALSE;
}

void OnConsoleMessage(WebKitWebPage* page, WebKitConsoleMessage* message, gpointer) {
  const char* text = webkit_console_message_get_text(message);
  // A message variant holds valid UTF-8 only.
  gchar* valid = g_utf8_make_valid(text ? text : "", -1);
  Send(page, msg::kConsole, g_variant_new_take_string(valid));
}

void OnPageGone(gpointer id, GObject*) {
  auto pageId = static_cast<guint64>(GPOINTER_TO_SIZE(id));
  PageStates().erase(pageId);
  std::erase(Pages(), pageId);
}

void OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
  guint64 id = webkit_web_page_get_id(page);
  Pages().push_back(id);
  auto& state = PageStates()[id];
  for (auto& [key, value] : TheSetup().initialState) state[key] = VariantPtr(g_variant_ref(value.get()));
  g_object_weak_ref(G_OBJECT(page), &OnPageGone, GSIZE_TO_POINTER(static_cast<gsize>(id)));
  g_signal_connect(page, "console-message-sent", G_CALLBACK(OnConsoleMessage), nullptr);
  g_signal_connect(page, "user-message-received", G_CALLBACK(OnUserMessage), nullptr);
}

void ReadStartupData(const GVariant* data, Setup* setup) {
  auto* dict = const_cast<GVariant*>(data);
  if (!dict || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return;
  if (g_autoptr(GVariant) table = g_variant_lookup_value(dict, msg::kInitExternal, G_VARIANT_TYPE(msg::kInitExternalType))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, table);
    const gchar *name = nullptr, *key = nullptr;
    while (g_variant_iter_next(&iter, "(&s&s)", &name, &key)) setup->external.push_back({name, key});
  }
  if (g_autoptr(GVariant) state = g_variant_lookup_value(dict, msg::kInitState, G_VARIANT_TYPE(msg::kStateType))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, state);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) setup->initialState[key] = VariantPtr(value);
  }
  if (g_autoptr(GVariant) ids = g_variant_lookup_value(dict, msg::kInitClickIds, G_VARIANT_TYPE(msg::kInitClickIdsType))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, ids);
    const gchar* id = nullptr;
    while (g_variant_iter_next(&iter, "&s", &id)) setup->clickIds.push_back(id);
  }
}

}  // namespace

void Initialize(WebKitWebExtension* extension, const GVariant* startupData) {
  Setup& setup = TheSetup();
  setup.extension = extension;
  ReadStartupData(startupData, &setup);
  msgbox::SetProvider(std::make_unique<UiProcessBoxes>());
  g_signal_connect(extension, "page-created", G_CALLBACK(OnPageCreated), nullptr);
}

void InstallInFrame(WebKitWebPage* page, WebKitFrame* frame) {
  g_autoptr(JSCContext) context = webkit_frame_get_js_context(frame);
  if (!context || g_object_get_data(G_OBJECT(context), kInstalledKey)) return;
  g_object_set_data(G_OBJECT(context), kInstalledKey, GINT_TO_POINTER(1));
  guint64 pageId = webkit_web_page_get_id(page);
  const Setup& setup = TheSetup();

  if (!setup.external.empty()) {
    g_autoptr(JSCValue) external =
        jsc_value_new_object(context, new ExternalInstance{pageId}, ExternalClass(context));
    jsc_context_set_value(context, "external", external);
  }

  g_autoptr(JSCValue) done = jsc_value_new_function(context, "done", G_CALLBACK(OnDocumentLoaded),
                                                    new FrameOfPage(pageId, frame), FreeFrameOfPage,
                                                    G_TYPE_NONE, 0);
  CallSetup(context, kLoadWatch, done, nullptr);

  if (webkit_frame_is_main_frame(frame) && !setup.clickIds.empty()) {
    g_autoptr(JSCValue) report =
        jsc_value_new_function(context, "report", G_CALLBACK(OnElementClicked), new FrameOfPage(pageId, frame),
                               FreeFrameOfPage, G_TYPE_NONE, 1, G_TYPE_STRING);
    CallSetup(context, kClickWatch, report, &setup.clickIds);
  }
}

}  // namespace host::bridge
