// The host extension: loaded by WebKitGTK into every web process of a
// container. In every frame of every page it defines ActiveXObject(progId)
// and turns <object classid="clsid:..."> elements into controls, and it
// destroys each control when the document that created it goes away. The
// page bridge (host/bridge.h) adds `window.external`, console and message
// box forwarding and document completion.
#include <webkit2/webkit-web-extension.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/jsc/jsc_engine.h"
#include "host/bridge.h"
#include "host/control_host.h"
#include "host/view_box.h"

namespace {

using engine::jsc::FromVariant;
using engine::jsc::ToVariant;
using host::HostedControl;

constexpr char kClassName[] = "WendexControl";
constexpr char kInstalledKey[] = "velmora-host-installed";
constexpr char kClassKey[] = "velmora-host-class";

// --- Controls and their documents ----------------------------------------

// Every live control, by the frame whose document created it.
std::map<WebKitFrame*, std::vector<std::shared_ptr<HostedControl>>>& ControlsByFrame() {
  static auto* controls = new std::map<WebKitFrame*, std::vector<std::shared_ptr<HostedControl>>>();
  return *controls;
}

// The frame's document went away (it navigated, or the frame or its page
// is gone): its controls are unsited, closed and released.
void DestroyControlsOf(WebKitFrame* frame) {
  auto& all = ControlsByFrame();
  auto it = all.find(frame);
  if (it == all.end()) return;
  auto controls = std::move(it->second);
  all.erase(it);
  for (auto& control : controls) control->Destroy();
}

// Frames whose end is watched (one weak reference each).
std::set<WebKitFrame*>& WatchedFrames() {
  static auto* frames = new std::set<WebKitFrame*>();
  return *frames;
}

void OnFrameGone(gpointer, GObject* object) {
  auto* frame = reinterpret_cast<WebKitFrame*>(object);
  WatchedFrames().erase(frame);
  DestroyControlsOf(frame);
}

void Adopt(WebKitFrame* frame, std::shared_ptr<HostedControl> control) {
  if (WatchedFrames().insert(frame).second) g_object_weak_ref(G_OBJECT(frame), &OnFrameGone, nullptr);
  ControlsByFrame()[frame].push_back(std::move(control));
}

// --- The control's script object -----------------------------------------

struct Instance {
  std::weak_ptr<HostedControl> control;
};

struct Method {
  std::weak_ptr<HostedControl> control;
  com::DISPID id;
  std::string name;
};

JSCValue* Throw(JSCContext* context, const std::string& message) {
  jsc_context_throw(context, message.c_str());
  return nullptr;
}

// No C++ exception crosses into the script: one that escapes a native
// callback becomes a script error.
JSCValue* Guarded(JSCValue* (*callback)(GPtrArray*, gpointer), GPtrArray* args, gpointer data) {
  try {
    return callback(args, data);
  } catch (const std::exception& e) {
    return Throw(jsc_context_get_current(), std::string("internal error: ") + e.what());
  } catch (...) {
    return Throw(jsc_context_get_current(), "internal error");
  }
}

JSCValue* OnMethodUnguarded(GPtrArray* args, gpointer data) {
  auto* method = static_cast<Method*>(data);
  JSCContext* context = jsc_context_get_current();
  auto control = method->control.lock();
  if (!control || !control->alive())
    return Throw(context, host::InvokeErrorText(method->name, com::E_UNEXPECTED));
  com::DispParams params;
  for (guint i = 0; i < args->len; ++i) params.push_back(ToVariant(static_cast<JSCValue*>(args->pdata[i])));
  com::Variant result;
  com::HRESULT hr = control->Call(method->id, params, &result);
  if (com::Failed(hr)) return Throw(context, host::InvokeErrorText(method->name, hr));
  return FromVariant(context, result);
}

JSCValue* OnMethod(GPtrArray* args, gpointer data) {
  return Guarded(&OnMethodUnguarded, args, data);
}

// Any member name the control knows, in any case, is one of its methods;
// other names fall through to the prototype.
JSCValue* GetProperty(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
  auto control = static_cast<Instance*>(instance)->control.lock();
  if (!control || !control->alive()) return nullptr;
  com::DISPID id = com::DISPID_UNKNOWN;
  if (com::Failed(control->dispatch()->GetIDsOfNames(name, &id))) return nullptr;
  Method* method = nullptr;
  try {
    method = new Method{control, id, name};
  } catch (...) {
    return nullptr;  // out of memory: the member is not there
  }
  return jsc_value_new_function_variadic(
      context, name, G_CALLBACK(OnMethod), method, [](gpointer m) { delete static_cast<Method*>(m); },
      JSC_TYPE_VALUE);
}

JSCClass* ControlClass(JSCContext* context) {
  if (auto* cls = static_cast<JSCClass*>(g_object_get_data(G_OBJECT(context), kClassKey))) return cls;
  static JSCClassVTable vtable = {GetProperty, nullptr, nullptr, nullptr, nullptr};
  JSCClass* cls = jsc_context_register_class(context, kClassName, nullptr, &vtable,
                                             [](gpointer i) { delete static_cast<Instance*>(i); });
  g_object_set_data(G_OBJECT(context), kClassKey, cls);
  return cls;
}

JSCValue* NewScriptObject(JSCContext* context, const std::shared_ptr<HostedControl>& control) {
  return jsc_value_new_object(context, new Instance{control}, ControlClass(context));
}

// --- Creation from a page -------------------------------------------------

// What a creating function knows of its frame.
struct FrameRef {
  GWeakRef frame;
  explicit FrameRef(WebKitFrame* f) { g_weak_ref_init(&frame, f); }
  ~FrameRef() { g_weak_ref_clear(&frame); }
  WebKitFrame* Get() { return static_cast<WebKitFrame*>(g_weak_ref_get(&frame)); }
};

void FreeFrameRef(gpointer p) { delete static_cast<FrameRef*>(p); }

std::string ArgText(GPtrArray* args, guint i) {
  if (i >= args->len) return {};
  return com::VariantToText(ToVariant(static_cast<JSCValue*>(args->pdata[i])));
}

int ArgInt(GPtrArray* args, guint i) {
  if (i >= args->len) return 0;
  auto* v = static_cast<JSCValue*>(args->pdata[i]);
  if (!jsc_value_is_number(v)) return 0;
  double d = jsc_value_to_double(v);
  return d > 0 && d < 1e6 ? static_cast<int>(d + 0.5) : 0;
}

std::shared_ptr<HostedControl> CreateFor(WebKitFrame* frame, const host::Registration& registration,
                                         const host::Params* params, int width, int height,
                                         std::string* error, com::ComPtr<engine::ViewBox> area = nullptr) {
  auto control = HostedControl::Create(registration, engine::jsc::BrowserOfFrame(frame), params, width,
                                       height, error, std::move(area));
  if (!control) return nullptr;
  std::shared_ptr<HostedControl> shared(std::move(control));
  Adopt(frame, shared);
  return shared;
}

// ActiveXObject(progId): the control's script object, or a script error.
JSCValue* OnCreateUnguarded(GPtrArray* args, gpointer data) {
  JSCContext* context = jsc_context_get_current();
  g_autoptr(WebKitFrame) frame = static_cast<FrameRef*>(data)->Get();
  if (!frame) return Throw(context, "ActiveXObject: the page is gone");
  std::string progId = ArgText(args, 0);
  std::string error;
  std::shared_ptr<HostedControl> control;
  if (args->len == 0 || jsc_value_is_undefined(static_cast<JSCValue*>(args->pdata[0]))) {
    error = "a ProgID is required";
  } else if (auto registration = host::FindByProgId(progId, &error)) {
    control = CreateFor(frame, *registration, nullptr, 0, 0, &error);
  }
  if (!control) return Throw(context, "ActiveXObject('" + progId + "'): " + error);
  return NewScriptObject(context, control);
}

JSCValue* OnCreate(GPtrArray* args, gpointer data) {
  return Guarded(&OnCreateUnguarded, args, data);
}

JSCValue* OnResize(GPtrArray* args, gpointer data) {
  auto control = static_cast<Instance*>(data)->control.lock();
  if (control && control->alive()) control->SetExtent(ArgInt(args, 0), ArgInt(args, 1));
  return nullptr;
}

// embed(classId, names, values, width, height, element): [script object,
// resize function]. The element's area goes to the control with it.
JSCValue* OnEmbedUnguarded(GPtrArray* args, gpointer data) {
  JSCContext* context = jsc_context_get_current();
  g_autoptr(WebKitFrame) frame = static_cast<FrameRef*>(data)->Get();
  if (!frame) return Throw(context, "the page is gone");
  std::string classId = ArgText(args, 0);
  host::Params params;
  if (args->len >= 3) {
    auto* names = static_cast<JSCValue*>(args->pdata[1]);
    auto* values = static_cast<JSCValue*>(args->pdata[2]);
    for (guint i = 0; jsc_value_is_array(names) && jsc_value_is_array(values); ++i) {
      g_autoptr(JSCValue) n = jsc_value_object_get_property_at_index(names, i);
      g_autoptr(JSCValue) v = jsc_value_object_get_property_at_index(values, i);
      if (jsc_value_is_undefined(n)) break;
      params.emplace_back(com::VariantToText(ToVariant(n)), com::VariantToText(ToVariant(v)));
    }
  }
  std::string error;
  std::shared_ptr<HostedControl> control;
  if (auto clsid = com::GuidFromString(classId)) {
    if (auto registration = host::FindByClassId(*clsid, &error))
      control = CreateFor(frame, *registration, &params, ArgInt(args, 3), ArgInt(args, 4), &error,
                          args->len > 5 ? host::MakeViewBox(context, static_cast<JSCValue*>(args->pdata[5]))
                                        : nullptr);
  } else {
    error = "'" + classId + "' is not a class id";
  }
  if (!control) return Throw(context, "<object classid=\"clsid:" + classId + "\">: " + error);
  g_autoptr(GPtrArray) pair = g_ptr_array_new_with_free_func(g_object_unref);
  g_ptr_array_add(pair, NewScriptObject(context, control));
  g_ptr_array_add(pair, jsc_value_new_function_variadic(
                            context, "resize", G_CALLBACK(OnResize), new Instance{control},
                            [](gpointer i) { delete static_cast<Instance*>(i); }, G_TYPE_NONE));
  return jsc_value_new_array_from_garray(context, pair);
}

JSCValue* OnEmbed(GPtrArray* args, gpointer data) {
  return Guarded(&OnEmbedUnguarded, args, data);
}

// Wraps the native creator so that `new ActiveXObject(id)` and a plain call
// both give the control's object.
constexpr char kActiveXObjectShim[] =
    "(function(create){return function ActiveXObject(progId){return create.apply(null,arguments);};})";

// Finds <object classid="clsid:..."> elements as the parser (or a script)
// adds them, once each, and only when they are complete: the parser has
// moved past them, or the document has finished parsing. The control's
// methods then answer on the element itself: its prototype becomes the
// control's object, whose prototype is the element's old one.
//
// The element of a control is the control's area: it keeps its CSS size
// (an element with fallback content would otherwise shrink to that
// content, laid out as a line of text) and shows none of that content.
// The control's size is the area's: the element's content box.
constexpr char kObjectScanner[] = R"JS((function(embed){
  var seen = new WeakSet(), pending = [], styled = false;
  var areaRules = ':where(object[velmora-area]) { overflow: hidden; }' +
                  ':where(object[velmora-area=inline]) { display: inline-block; }';
  function styleAreas() {
    if (styled) return;
    styled = true;
    if (typeof CSSStyleSheet === 'function' && 'adoptedStyleSheets' in document) {
      var sheet = new CSSStyleSheet();
      sheet.replaceSync(areaRules);
      document.adoptedStyleSheets = document.adoptedStyleSheets.concat([sheet]);
    } else {
      var style = document.createElement('style');
      style.textContent = areaRules;
      (document.head || document.documentElement).appendChild(style);
    }
  }
  function markArea(el) {
    styleAreas();
    el.setAttribute('velmora-area', getComputedStyle(el).display === 'inline' ? 'inline' : '');
  }
  function contentSize(el) {
    var s = getComputedStyle(el);
    return [Math.max(0, el.clientWidth - parseFloat(s.paddingLeft) - parseFloat(s.paddingRight)) || 0,
            Math.max(0, el.clientHeight - parseFloat(s.paddingTop) - parseFloat(s.paddingBottom)) || 0];
  }
  function complete(el) {
    if (document.readyState !== 'loading') return true;
    for (var n = el; n; n = n.parentNode) if (n.nextSibling) return true;
    return false;
  }
  function consider(el) {
    if (seen.has(el)) return;
    if (!complete(el)) { if (pending.indexOf(el) < 0) pending.push(el); return; }
    seen.add(el);
    var cls = String(el.getAttribute('classid') || '');
    if (!/^clsid:/i.test(cls)) return;
    var names = [], values = [], ps = el.getElementsByTagName('param');
    for (var i = 0; i < ps.length; i++) {
      names.push(String(ps[i].getAttribute('name') || ''));
      values.push(String(ps[i].getAttribute('value') || ''));
    }
    var made;
    markArea(el);
    var size = contentSize(el);
    try { made = embed(cls.substring(6), names, values, size[0], size[1], el); }
    catch (e) { el.removeAttribute('velmora-area'); console.error(String(e && e.message || e)); return; }
    Object.setPrototypeOf(made[0], Object.getPrototypeOf(el));
    Object.setPrototypeOf(el, made[0]);
    var resize = made[1];
    if (typeof ResizeObserver === 'function')
      new ResizeObserver(function(entries) {
        var r = entries[entries.length - 1].contentRect;
        resize(Math.round(r.width), Math.round(r.height));
      }).observe(el);
  }
  function scan(node) {
    if (!node || node.nodeType !== 1) return;
    if (node.tagName === 'OBJECT' && node.hasAttribute('classid')) consider(node);
    var list = node.getElementsByTagName('object');
    for (var i = 0; i < list.length; i++) if (list[i].hasAttribute('classid')) consider(list[i]);
  }
  function retry() {
    var waiting = pending; pending = [];
    for (var i = 0; i < waiting.length; i++) consider(waiting[i]);
  }
  new MutationObserver(function(records) {
    for (var i = 0; i < records.length; i++)
      for (var j = 0; j < records[i].addedNodes.length; j++) scan(records[i].addedNodes[j]);
    retry();
  }).observe(document, {childList: true, subtree: true});
  document.addEventListener('DOMContentLoaded', retry);
  scan(document.documentElement);
}))JS";

// Evaluates a function's source in the context and calls it with one
// argument; its result (a new reference) or null.
JSCValue* CallWith(JSCContext* context, const char* source, JSCValue* argument) {
  engine::jsc::CatchScope scope(context);
  JSCValue* result = nullptr;
  g_autoptr(JSCValue) function = jsc_context_evaluate(context, source, -1);
  if (function && jsc_value_is_function(function))
    result = jsc_value_function_call(function, JSC_TYPE_VALUE, argument, G_TYPE_NONE);
  if (scope.thrown()) g_warning("velmora host: %s", scope.message().c_str());
  return result;
}

void InstallInFrame(WebKitFrame* frame) {
  g_autoptr(JSCContext) context = webkit_frame_get_js_context(frame);
  if (!context || g_object_get_data(G_OBJECT(context), kInstalledKey)) return;
  g_object_set_data(G_OBJECT(context), kInstalledKey, GINT_TO_POINTER(1));
  g_autoptr(JSCValue) create = jsc_value_new_function_variadic(context, "create", G_CALLBACK(OnCreate),
                                                               new FrameRef(frame), FreeFrameRef, JSC_TYPE_VALUE);
  g_autoptr(JSCValue) constructor = CallWith(context, kActiveXObjectShim, create);
  if (constructor && jsc_value_is_function(constructor)) jsc_context_set_value(context, "ActiveXObject", constructor);
  g_autoptr(JSCValue) embed = jsc_value_new_function_variadic(context, "embed", G_CALLBACK(OnEmbed),
                                                              new FrameRef(frame), FreeFrameRef, JSC_TYPE_VALUE);
  g_autoptr(JSCValue) scanner = CallWith(context, kObjectScanner, embed);
}

// --- Signals ---------------------------------------------------------------

void OnWindowObjectCleared(WebKitScriptWorld*, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
  engine::jsc::RegisterFrame(frame);
  // A new document in this frame: the old one's controls go with it.
  DestroyControlsOf(frame);
  // The bridge first: its listeners must come before any of the page's.
  host::bridge::InstallInFrame(page, frame);
  InstallInFrame(frame);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* data) {
  host::bridge::Initialize(extension, data);
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                   G_CALLBACK(OnWindowObjectCleared), nullptr);
}
