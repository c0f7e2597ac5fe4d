#include "host/view_box.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/jsc/jsc_engine.h"

namespace host {

namespace {

constexpr char kFactoryKey[] = "velmora-view-factory";

// The box in the page: a block that fills the element, holding a canvas
// for the frames and a text area for the keys. The factory is called with
// the element and the native report function, and gives the box's
// controller: paint(bytes, type, width, height, id), cursor(name), close().
//
// What it reports, as report(kind, ...):
//   shown(bool)        the box has an area, lies in the viewport, and the page is shown
//   painted(id)        a frame was drawn or dropped
//   mouse(kind, x, y, button, buttons, clickCount, deltaX, deltaY, modifiers)
//   key(down, key, code, keyCode, text, modifiers, location, repeat)
//   text(text)         committed by an input method, pasted, or typed without a key of its own
//   selection()        gives the site's selected text, for a copy or a cut
//
// Keys go to the site as keys; while an input method composes they stay
// here (the composition shows at the last click) and only the committed
// text goes. Copy, cut and paste use the page's clipboard: the keys that
// make them are not passed on.
constexpr char kBoxScript[] = R"JS((function(el, report) {
  var doc = el.ownerDocument, win = doc.defaultView;
  var box = doc.createElement('div'), canvas = doc.createElement('canvas'), keys = doc.createElement('textarea');
  var g = canvas.getContext('2d');
  var closed = false, shown = false, sized = false, inView = false, composing = false;
  var requested = 0, drawn = 0;
  var lastX = 0, lastY = 0;
  box.setAttribute('style', 'display:block;position:relative;width:100%;height:100%;overflow:hidden;' +
                   'margin:0;padding:0;border:0;background:#fff;user-select:none;-webkit-user-select:none');
  canvas.setAttribute('style', 'display:block;margin:0;padding:0;border:0');
  canvas.width = canvas.height = 0;
  var keysIdle = 'position:absolute;left:0;top:0;width:1px;height:1px;margin:0;padding:0;border:0;' +
                 'opacity:0;resize:none;overflow:hidden;outline:none;background:transparent;z-index:1;' +
                 'user-select:text;-webkit-user-select:text;';
  var keysComposing = 'position:absolute;width:12em;height:1.6em;margin:0;padding:0 2px;border:1px solid #888;' +
                      'opacity:1;resize:none;overflow:hidden;outline:none;background:#ffffe8;color:#000;' +
                      'font:14px sans-serif;z-index:1;user-select:text;-webkit-user-select:text;';
  keys.setAttribute('style', keysIdle);
  keys.setAttribute('aria-label', 'browser');
  keys.spellcheck = false;
  box.appendChild(canvas);
  box.appendChild(keys);
  el.insertBefore(box, el.firstChild);

  function update() {
    var now = !closed && sized && inView && doc.visibilityState === 'visible';
    if (now !== shown) { shown = now; report('shown', now); }
  }
  var sizes = new win.ResizeObserver(function(entries) {
    var r = entries[entries.length - 1].contentRect;
    sized = r.width >= 1 && r.height >= 1;
    update();
  });
  var views = new win.IntersectionObserver(function(entries) {
    inView = entries[entries.length - 1].isIntersecting;
    update();
  });
  sizes.observe(box);
  views.observe(box);
  doc.addEventListener('visibilitychange', update);

  function modifiers(e) { return (e.altKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.metaKey ? 4 : 0) | (e.shiftKey ? 8 : 0); }
  function mouse(kind, e, dx, dy) {
    var r = box.getBoundingClientRect();
    lastX = e.clientX - r.left - box.clientLeft;
    lastY = e.clientY - r.top - box.clientTop;
    report('mouse', kind, lastX, lastY, e.button, e.buttons, e.detail || 1, dx || 0, dy || 0, modifiers(e));
  }
  box.addEventListener('mousemove', function(e) { mouse(0, e); });
  box.addEventListener('mousedown', function(e) {
    // The box takes the focus (its keys go to the site) and keeps the
    // hosting page from selecting or dragging.
    e.preventDefault();
    mouse(1, e);
    keys.style.left = Math.max(0, Math.min(lastX, box.clientWidth - 1)) + 'px';
    keys.style.top = Math.max(0, Math.min(lastY, box.clientHeight - 1)) + 'px';
    keys.focus({preventScroll: true});
  });
  box.addEventListener('pointerdown', function(e) {
    // Moves and the release outside the box still belong to it.
    try { box.setPointerCapture(e.pointerId); } catch (err) {}
  });
  box.addEventListener('mouseup', function(e) { mouse(2, e); });
  box.addEventListener('wheel', function(e) {
    e.preventDefault();
    var unit = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? box.clientHeight : 1;
    mouse(3, e, e.deltaX * unit, e.deltaY * unit);
  }, {passive: false});
  box.addEventListener('mouseleave', function(e) { if (!e.buttons) mouse(4, e); });
  box.addEventListener('contextmenu', function(e) { e.preventDefault(); });
  box.addEventListener('dragstart', function(e) { e.preventDefault(); });

  keys.addEventListener('keydown', function(e) {
    if (composing || e.isComposing || e.keyCode === 229) return;
    var ctrl = e.ctrlKey || e.metaKey;
    if (ctrl && !e.altKey && /^[cvx]$/i.test(e.key)) return;
    var text = '';
    if (!ctrl && !e.altKey) text = e.key === 'Enter' ? '\r' : Array.from(e.key).length === 1 ? e.key : '';
    report('key', true, e.key, e.code, e.keyCode, text, modifiers(e), e.location, e.repeat);
    e.preventDefault();
  });
  keys.addEventListener('keyup', function(e) {
    if (composing || e.isComposing || e.keyCode === 229) return;
    report('key', false, e.key, e.code, e.keyCode, '', modifiers(e), e.location, false);
    e.preventDefault();
  });
  keys.addEventListener('compositionstart', function() {
    composing = true;
    keys.setAttribute('style', keysComposing + 'left:' + keys.style.left + ';top:' + keys.style.top);
  });
  keys.addEventListener('compositionend', function(e) {
    // Some input methods end a composition twice, the first time with
    // nothing: only committed text goes.
    var left = keys.style.left, top = keys.style.top;
    composing = false;
    keys.value = '';
    keys.setAttribute('style', keysIdle + 'left:' + left + ';top:' + top);
    if (e.data) report('text', e.data);
  });
  keys.addEventListener('input', function(e) {
    // Text that came without a key of its own (an input method that
    // commits at once); a composition's own text is reported at its end.
    if (composing || e.isComposing || /Composition/.test(e.inputType || '')) return;
    var t = keys.value;
    keys.value = '';
    if (t) report('text', t);
  });
  // Copy and cut are enabled with nothing selected here: the selection is
  // the site's. The page may aim these events elsewhere (nothing is
  // selected in it), so they are taken on the document while the box has
  // the focus.
  function focused() { return !closed && doc.activeElement === keys; }
  function enable(e) { if (focused()) e.preventDefault(); }
  function copy(e, cut) {
    if (!focused()) return;
    e.preventDefault();
    var t = report('selection');
    if (!t) return;
    e.clipboardData.setData('text/plain', t);
    if (cut) {
      report('key', true, 'Delete', 'Delete', 46, '', 0, 0, false);
      report('key', false, 'Delete', 'Delete', 46, '', 0, 0, false);
    }
  }
  function onCopy(e) { copy(e, false); }
  function onCut(e) { copy(e, true); }
  doc.addEventListener('beforecopy', enable, true);
  doc.addEventListener('beforecut', enable, true);
  doc.addEventListener('copy', onCopy, true);
  doc.addEventListener('cut', onCut, true);
  keys.addEventListener('paste', function(e) {
    e.preventDefault();
    var t = e.clipboardData ? e.clipboardData.getData('text/plain') : '';
    if (t) report('text', t);
  });

  return {
    paint: function(bytes, type, width, height, id) {
      if (closed) { report('painted', id); return; }
      var seq = ++requested;
      win.createImageBitmap(new win.Blob([bytes], {type: type})).then(function(picture) {
        // A later frame drawn first wins.
        if (!closed && seq > drawn) {
          drawn = seq;
          if (canvas.width !== width || canvas.height !== height) {
            canvas.width = width;
            canvas.height = height;
            canvas.style.width = width + 'px';
            canvas.style.height = height + 'px';
          }
          g.drawImage(picture, 0, 0);
        }
        picture.close();
        report('painted', id);
      }, function() { report('painted', id); });
    },
    cursor: function(name) { box.style.cursor = name; },
    close: function() {
      closed = true;
      sizes.disconnect();
      views.disconnect();
      doc.removeEventListener('visibilitychange', update);
      doc.removeEventListener('beforecopy', enable, true);
      doc.removeEventListener('beforecut', enable, true);
      doc.removeEventListener('copy', onCopy, true);
      doc.removeEventListener('cut', onCut, true);
      if (box.parentNode) box.parentNode.removeChild(box);
    }
  };
}))JS";

// The CSS cursors a site may show over the box; any other value (a picture
// of the site's, which the hosting page would fetch) shows the default.
constexpr const char* kCursorNames[] = {
    "default",   "auto",       "none",        "pointer",    "text",        "vertical-text", "wait",
    "progress",  "help",       "crosshair",   "move",       "grab",        "grabbing",      "not-allowed",
    "no-drop",   "copy",       "alias",       "cell",       "context-menu", "all-scroll",   "col-resize",
    "row-resize", "n-resize",  "e-resize",    "s-resize",   "w-resize",    "ne-resize",     "nw-resize",
    "se-resize", "sw-resize",  "ew-resize",   "ns-resize",  "nesw-resize", "nwse-resize",   "zoom-in",
    "zoom-out",
};

bool IsCursorName(std::string_view name) {
  for (const char* known : kCursorNames)
    if (name == known) return true;
  return false;
}

// What the page's listeners reach: the browser, while one is connected.
struct Link {
  engine::ViewSink* sink = nullptr;
};

std::string Text(GPtrArray* args, guint i) {
  if (i >= args->len) return {};
  return com::VariantToText(engine::jsc::ToVariant(static_cast<JSCValue*>(args->pdata[i])));
}

double Number(GPtrArray* args, guint i) {
  if (i >= args->len) return 0;
  auto* v = static_cast<JSCValue*>(args->pdata[i]);
  return jsc_value_is_number(v) ? jsc_value_to_double(v) : 0;
}

int Int(GPtrArray* args, guint i) { return static_cast<int>(Number(args, i)); }

bool Bool(GPtrArray* args, guint i) {
  return i < args->len && jsc_value_to_boolean(static_cast<JSCValue*>(args->pdata[i]));
}

// One handler per kind of report; arguments start at index 1.
using ReportHandler = JSCValue* (*)(engine::ViewSink& sink, GPtrArray* args, JSCContext* context);

JSCValue* OnShownReport(engine::ViewSink& sink, GPtrArray* args, JSCContext*) {
  sink.OnShown(Bool(args, 1));
  return nullptr;
}

JSCValue* OnPaintedReport(engine::ViewSink& sink, GPtrArray* args, JSCContext*) {
  sink.OnPainted(Int(args, 1));
  return nullptr;
}

JSCValue* OnMouseReport(engine::ViewSink& sink, GPtrArray* args, JSCContext*) {
  static constexpr engine::MouseInput::Kind kKinds[] = {engine::MouseInput::Move, engine::MouseInput::Down,
                                                        engine::MouseInput::Up, engine::MouseInput::Wheel,
                                                        engine::MouseInput::Leave};
  const int kind = Int(args, 1);
  if (kind < 0 || kind >= static_cast<int>(std::size(kKinds))) return nullptr;
  engine::MouseInput input;
  input.kind = kKinds[kind];
  input.x = Number(args, 2);
  input.y = Number(args, 3);
  input.button = Int(args, 4);
  input.buttons = Int(args, 5);
  input.clickCount = Int(args, 6);
  input.deltaX = Number(args, 7);
  input.deltaY = Number(args, 8);
  input.modifiers = Int(args, 9);
  sink.OnMouse(input);
  return nullptr;
}

JSCValue* OnKeyReport(engine::ViewSink& sink, GPtrArray* args, JSCContext*) {
  engine::KeyInput input;
  input.kind = Bool(args, 1) ? engine::KeyInput::Down : engine::KeyInput::Up;
  input.key = Text(args, 2);
  input.code = Text(args, 3);
  input.keyCode = Int(args, 4);
  input.text = Text(args, 5);
  input.modifiers = Int(args, 6);
  input.location = Int(args, 7);
  input.repeat = Bool(args, 8);
  sink.OnKey(input);
  return nullptr;
}

JSCValue* OnTextReport(engine::ViewSink& sink, GPtrArray* args, JSCContext*) {
  sink.OnText(Text(args, 1));
  return nullptr;
}

JSCValue* OnSelectionReport(engine::ViewSink& sink, GPtrArray*, JSCContext* context) {
  return jsc_value_new_string(context, sink.SelectedText().c_str());
}

struct ReportEntry {
  const char* kind;
  ReportHandler handler;
};

constexpr ReportEntry kReports[] = {
    {"shown", &OnShownReport}, {"painted", &OnPaintedReport}, {"mouse", &OnMouseReport},
    {"key", &OnKeyReport},     {"text", &OnTextReport},       {"selection", &OnSelectionReport},
};

// report(kind, ...) from the page's listeners. No C++ exception crosses
// into the page's script.
JSCValue* OnReport(GPtrArray* args, gpointer data) {
  JSCContext* context = jsc_context_get_current();
  try {
    std::shared_ptr<Link> link = *static_cast<std::shared_ptr<Link>*>(data);
    if (!link->sink || args->len == 0) return nullptr;
    const std::string kind = Text(args, 0);
    for (const auto& entry : kReports)
      if (kind == entry.kind) return entry.handler(*link->sink, args, context);
  } catch (...) {
    // A report that failed is lost; the box goes on.
  }
  return nullptr;
}

class ElementBox final : public com::RefCounted<engine::ViewBox> {
 public:
  ElementBox(JSCContext* context, JSCValue* element)
      : context_(JSC_CONTEXT(g_object_ref(context))), element_(JSC_VALUE(g_object_ref(element))) {}

  ~ElementBox() override {
    Close();
    g_object_unref(element_);
    g_object_unref(context_);
  }

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (iid == com::IID_IUnknown || iid == engine::IID_ViewBox) return Give<engine::ViewBox>(this, out);
    return NoInterface(out);
  }

  com::HRESULT Connect(engine::ViewSink* sink) override {
    if (!sink) {
      Close();
      return com::S_OK;
    }
    if (!controller_ && !Open()) return com::E_FAIL;
    link_->sink = sink;
    sink->OnShown(false);
    // The observers report the box's state once the page has laid it out.
    return com::S_OK;
  }

  com::HRESULT Paint(const engine::ViewFrame& frame) override {
    if (!controller_) return com::E_UNEXPECTED;
    // The page's own copy of the bytes, in memory of its engine (an
    // outside buffer is refused by the engine's memory cages).
    g_autoptr(JSCValue) bytes = jsc_value_new_typed_array(context_, JSC_TYPED_ARRAY_UINT8, frame.bytes.size());
    if (!bytes) return com::E_OUTOFMEMORY;
    gsize length = 0;
    auto* data = static_cast<std::uint8_t*>(jsc_value_typed_array_get_data(bytes, &length));
    if (!data || length != frame.bytes.size()) return com::E_FAIL;
    std::memcpy(data, frame.bytes.data(), length);
    const std::string type(frame.mimeType);
    engine::jsc::CatchScope scope(context_);
    g_autoptr(JSCValue) result = jsc_value_object_invoke_method(
        controller_, "paint", JSC_TYPE_VALUE, bytes, G_TYPE_STRING, type.c_str(), G_TYPE_INT, frame.width,
        G_TYPE_INT, frame.height, G_TYPE_INT, frame.id, G_TYPE_NONE);
    return scope.thrown() ? com::E_FAIL : com::S_OK;
  }

  com::HRESULT SetCursor(std::string_view cursor) override {
    if (!controller_) return com::E_UNEXPECTED;
    const std::string name(IsCursorName(cursor) ? cursor : "default");
    engine::jsc::CatchScope scope(context_);
    g_autoptr(JSCValue) result =
        jsc_value_object_invoke_method(controller_, "cursor", G_TYPE_STRING, name.c_str(), G_TYPE_NONE);
    return com::S_OK;
  }

 private:
  // Builds the box in the page.
  bool Open() {
    engine::jsc::CatchScope scope(context_);
    auto* factory = static_cast<JSCValue*>(g_object_get_data(G_OBJECT(context_), kFactoryKey));
    if (!factory) {
      factory = jsc_context_evaluate(context_, kBoxScript, -1);
      if (!factory || !jsc_value_is_function(factory)) {
        if (factory) g_object_unref(factory);
        return false;
      }
      g_object_set_data_full(G_OBJECT(context_), kFactoryKey, factory, g_object_unref);
    }
    g_autoptr(JSCValue) report = jsc_value_new_function_variadic(
        context_, "report", G_CALLBACK(OnReport), new std::shared_ptr<Link>(link_),
        [](gpointer p) { delete static_cast<std::shared_ptr<Link>*>(p); }, JSC_TYPE_VALUE);
    JSCValue* controller =
        jsc_value_function_call(factory, JSC_TYPE_VALUE, element_, JSC_TYPE_VALUE, report, G_TYPE_NONE);
    if (scope.thrown() || !controller || !jsc_value_is_object(controller)) {
      if (controller) g_object_unref(controller);
      return false;
    }
    controller_ = controller;
    return true;
  }

  // Takes the box out of the page; its listeners reach nothing from now on.
  void Close() {
    link_->sink = nullptr;
    if (!controller_) return;
    engine::jsc::CatchScope scope(context_);
    g_autoptr(JSCValue) result = jsc_value_object_invoke_method(controller_, "close", G_TYPE_NONE);
    g_object_unref(controller_);
    controller_ = nullptr;
  }

  JSCContext* context_;
  JSCValue* element_;
  JSCValue* controller_ = nullptr;
  std::shared_ptr<Link> link_ = std::make_shared<Link>();
};

}  // namespace

com::ComPtr<engine::ViewBox> MakeViewBox(JSCContext* context, JSCValue* element) {
  return com::MakeRef<ElementBox>(context, element);
}

}  // namespace host
