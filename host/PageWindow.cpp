#include "host/PageWindow.h"

#include <gtk/gtk.h>
#include <malloc.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/MainIcon.h"
#include "host/messages.h"
#include "platform/msgbox.h"
#include "platform/process.h"

namespace host {

namespace {

constexpr int kFadeStepMs = 25;

GVariant* ToVariant(const StateValue& value) {
  if (const int* n = std::get_if<int>(&value)) return g_variant_new_int32(*n);
  return g_variant_new_string(std::get<std::string>(value).c_str());
}

GVariant* StateDictionary(const State& values) {
  GVariantBuilder dict;
  g_variant_builder_init(&dict, G_VARIANT_TYPE(msg::kStateType));
  for (const auto& [key, value] : values) g_variant_builder_add(&dict, "{sv}", key.c_str(), ToVariant(value));
  return g_variant_builder_end(&dict);
}

// What the extension of this window's web processes learns at start-up.
GVariant* StartupData(const PageWindowSettings& settings) {
  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE_VARDICT);
  GVariantBuilder table;
  g_variant_builder_init(&table, G_VARIANT_TYPE(msg::kInitExternalType));
  for (const ExternalMethod& m : settings.external)
    g_variant_builder_add(&table, "(ss)", m.name, m.stateKey ? m.stateKey : "");
  g_variant_builder_add(&data, "{sv}", msg::kInitExternal, g_variant_builder_end(&table));
  g_variant_builder_add(&data, "{sv}", msg::kInitState, StateDictionary(settings.initialState));
  GVariantBuilder ids;
  g_variant_builder_init(&ids, G_VARIANT_TYPE(msg::kInitClickIdsType));
  for (const std::string& id : settings.clickIds) g_variant_builder_add(&ids, "s", id.c_str());
  g_variant_builder_add(&data, "{sv}", msg::kInitClickIds, g_variant_builder_end(&ids));
  return g_variant_ref_sink(g_variant_builder_end(&data));
}

// Engine features that would slow a page down while its window is hidden
// or minimised: with hidden-page timer throttling a chain of 10 ms timers
// fires about once a second. The service's pages keep publishing (timers,
// request callbacks) while the agent has the window in the tray, so they
// run at full speed whether the window shows or not.
constexpr const char* kFeaturesOff[] = {
    "HiddenPageDOMTimerThrottling",
    "HiddenPageDOMTimerThrottlingAutoIncreases",
};

void TurnFeaturesOff(WebKitWebView* view) {
  WebKitSettings* settings = webkit_web_view_get_settings(view);
  WebKitFeatureList* all = webkit_settings_get_all_features();
  for (gsize i = 0; i < webkit_feature_list_get_length(all); ++i) {
    WebKitFeature* feature = webkit_feature_list_get(all, i);
    for (const char* id : kFeaturesOff)
      if (std::strcmp(webkit_feature_get_identifier(feature), id) == 0)
        webkit_settings_set_feature_enabled(settings, feature, FALSE);
  }
  webkit_feature_list_unref(all);
}

// Content types of the built-in pages' files, by the name's ending.
struct ContentType {
  const char* ending;
  const char* type;
};
constexpr ContentType kContentTypes[] = {
    {".html", "text/html"}, {".js", "application/javascript"}, {".css", "text/css"},
    {".png", "image/png"},  {".jpg", "image/jpeg"},             {".gif", "image/gif"},
};

const char* ContentTypeOf(std::string_view path) {
  for (const ContentType& c : kContentTypes)
    if (path.ends_with(c.ending)) return c.type;
  return "application/octet-stream";
}

GdkPixbuf* PixbufFromResource(const std::string& path) {
  g_autoptr(GBytes) bytes = g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return nullptr;
  g_autoptr(GInputStream) stream = g_memory_input_stream_new_from_bytes(bytes);
  return gdk_pixbuf_new_from_stream(stream, nullptr, nullptr);
}

// The region of a rectangle of w x h pixels whose corners are cut as
// ellipses of `ellipse` pixels across, one row of pixels at a time.
cairo_region_t* RoundedRegion(int w, int h, int ellipse) {
  cairo_region_t* region = cairo_region_create();
  double r = ellipse / 2.0;
  for (int y = 0; y < h; ++y) {
    double dy = 0;
    if (y < r) dy = r - (y + 0.5);
    else if (y >= h - r) dy = (y + 0.5) - (h - r);
    int inset = 0;
    if (dy > 0) inset = static_cast<int>(std::lround(r - std::sqrt(std::max(0.0, r * r - dy * dy))));
    cairo_rectangle_int_t row{inset, y, std::max(0, w - 2 * inset), 1};
    cairo_region_union_rectangle(region, &row);
  }
  return region;
}

std::string ProgramFolder() {
  std::string exe = process::ExecutablePath();
  if (exe.empty()) return ".";
  g_autofree gchar* dir = g_path_get_dirname(exe.c_str());
  return dir;
}

}  // namespace

struct PageWindow::Impl {
  PageWindowEvents* events = nullptr;
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  WebKitWebContext* context = nullptr;
  GVariant* startupData = nullptr;
  std::string extensionDir;
  bool minimized = false;
  bool loadFailed = false;
  bool loading = false;
  bool loadEnded = false;
  bool notice = false;
  BuiltInPages builtIn;
  GtkWidget* cover = nullptr;
  GdkPixbuf* coverPicture = nullptr;
  int shapeEllipse = 0;
  guint fadeSource = 0;
  gint64 fadeStart = 0;
  int fadeMs = 0;
  std::function<void()> fadeDone;

  ~Impl() {
    if (fadeSource) g_source_remove(fadeSource);
    if (window) gtk_widget_destroy(window);
    if (context) g_object_unref(context);
    if (startupData) g_variant_unref(startupData);
    if (coverPicture) g_object_unref(coverPicture);
  }

  static void OnBuiltInRequest(WebKitURISchemeRequest* request, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    const gchar* path = webkit_uri_scheme_request_get_path(request);
    std::string name = path && *path ? path : "/";
    if (name[0] != '/') name.insert(name.begin(), '/');
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes = g_resources_lookup_data((impl->builtIn.resourcePrefix + name).c_str(),
                                                      G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (!bytes) {
      webkit_uri_scheme_request_finish_error(request, error);
      return;
    }
    g_autoptr(GInputStream) stream = g_memory_input_stream_new_from_bytes(bytes);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(g_bytes_get_size(bytes)),
                                     ContentTypeOf(name));
  }

  // The cover's picture, scaled to cover the whole area, centred.
  static gboolean OnDrawCover(GtkWidget* widget, cairo_t* cr, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (!impl->coverPicture) return FALSE;
    double w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
    double pw = gdk_pixbuf_get_width(impl->coverPicture), ph = gdk_pixbuf_get_height(impl->coverPicture);
    double scale = std::max(w / pw, h / ph);
    cairo_translate(cr, (w - pw * scale) / 2, (h - ph * scale) / 2);
    cairo_scale(cr, scale, scale);
    gdk_cairo_set_source_pixbuf(cr, impl->coverPicture, 0, 0);
    cairo_paint(cr);
    return TRUE;
  }

  static gboolean OnMotion(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<Impl*>(self)->events->OnMouseMove();
    return FALSE;
  }

  static void OnSizeAllocate(GtkWidget* widget, GdkRectangle*, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->shapeEllipse > 0) impl->ApplyShape(widget);
  }

  void ApplyShape(GtkWidget* widget) {
    int w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
    cairo_region_t* region = RoundedRegion(w + 1, h + 1, shapeEllipse);
    gtk_widget_shape_combine_region(widget, region);
    cairo_region_destroy(region);
  }

  static void OnInitializeExtensions(WebKitWebContext* context, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    webkit_web_context_set_web_extensions_directory(context, impl->extensionDir.c_str());
    webkit_web_context_set_web_extensions_initialization_user_data(context, impl->startupData);
  }

  static gboolean OnUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    const char* name = webkit_user_message_get_name(message);
    GVariant* p = webkit_user_message_get_parameters(message);
    auto is = [&](const char* type) { return p && g_variant_is_of_type(p, G_VARIANT_TYPE(type)); };
    if (std::strcmp(name, msg::kConsole) == 0) {
      if (is(msg::kConsoleType)) impl->events->OnConsoleMessage(g_variant_get_string(p, nullptr));
    } else if (std::strcmp(name, msg::kExternalCall) == 0) {
      if (!is(msg::kExternalCallType)) return TRUE;
      gint32 dispid = 0;
      const gchar* method = nullptr;
      g_autoptr(GVariantIter) texts = nullptr;
      g_variant_get(p, "(i&sas)", &dispid, &method, &texts);
      std::vector<std::string> args;
      for (const gchar* t = nullptr; g_variant_iter_next(texts, "&s", &t);) args.emplace_back(t);
      impl->events->OnExternalCall(dispid, args);
    } else if (std::strcmp(name, msg::kMessageBox) == 0) {
      if (!is(msg::kMessageBoxType)) return TRUE;
      const gchar *caption = nullptr, *text = nullptr;
      guint32 style = 0;
      g_variant_get(p, "(&s&su)", &caption, &text, &style);
      if (!impl->events->OnMessageBox(caption, text, style)) impl->ShowBox(caption, text, style);
    } else if (std::strcmp(name, msg::kDocumentComplete) == 0) {
      if (!is(msg::kDocumentCompleteType)) return TRUE;
      const gchar* address = nullptr;
      gboolean main = FALSE;
      g_variant_get(p, "(&sb)", &address, &main);
      impl->events->OnDocumentComplete(address, main);
    } else if (std::strcmp(name, msg::kElementClick) == 0) {
      if (is(msg::kElementClickType)) impl->events->OnElementClick(g_variant_get_string(p, nullptr));
    } else {
      return FALSE;
    }
    return TRUE;
  }

  static void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (event == WEBKIT_LOAD_STARTED) {
      impl->loadFailed = false;
      impl->loading = true;
    }
    if (event == WEBKIT_LOAD_FINISHED) {
      impl->loading = false;
      impl->loadEnded = true;
      if (!impl->loadFailed) impl->events->OnLoadFinished();
    }
  }

  static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    // A navigation the page cancelled itself is no failure.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) return FALSE;
    impl->loadFailed = true;
    impl->events->OnLoadFailed(uri ? uri : "", error->message);
    return FALSE;
  }

  static void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self) {
    static_cast<Impl*>(self)->events->OnWebProcessEnded(reason == WEBKIT_WEB_PROCESS_CRASHED);
  }

  static void OnPageClose(WebKitWebView*, gpointer self) { static_cast<Impl*>(self)->events->OnPageClose(); }

  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<Impl*>(self)->events->OnCloseRequest();
    return TRUE;
  }

  static gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    // A notice is never minimised: it comes straight back.
    if (impl->notice && (event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) &&
        (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED)) {
      gtk_window_deiconify(GTK_WINDOW(impl->window));
      return FALSE;
    }
    if (event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) {
      impl->minimized = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
      impl->events->OnVisibilityChanged();
    }
    return FALSE;
  }

  static void OnShownOrHidden(GtkWidget*, gpointer self) { static_cast<Impl*>(self)->events->OnVisibilityChanged(); }

  static gboolean OnFadeStep(gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    double elapsed = static_cast<double>(g_get_monotonic_time() - impl->fadeStart) / 1000.0;
    if (elapsed < impl->fadeMs) {
      gtk_widget_set_opacity(impl->window, 1.0 - elapsed / impl->fadeMs);
      return G_SOURCE_CONTINUE;
    }
    impl->fadeSource = 0;
    gtk_widget_hide(impl->window);
    gtk_widget_set_opacity(impl->window, 1.0);
    if (auto done = std::move(impl->fadeDone)) done();
    return G_SOURCE_REMOVE;
  }

  void ShowBox(const std::string& caption, const std::string& text, unsigned style) {
    GtkMessageType type = GTK_MESSAGE_INFO;
    if (style & msgbox::MB_ICONERROR) type = GTK_MESSAGE_ERROR;
    GtkButtonsType buttons = GTK_BUTTONS_OK;
    if ((style & 0xF) == msgbox::MB_OKCANCEL) buttons = GTK_BUTTONS_OK_CANCEL;
    if ((style & 0xF) == msgbox::MB_YESNO) buttons = GTK_BUTTONS_YES_NO;
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, type, buttons,
                                            "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
    gtk_window_set_default_size(GTK_WINDOW(box), 320, -1);
    g_signal_connect(box, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(box);
  }

  void SendToPage(const char* name, GVariant* parameters) {
    webkit_web_view_send_message_to_page(view, webkit_user_message_new(name, parameters), nullptr, nullptr,
                                         nullptr);
  }
};

PageWindow::PageWindow(const PageWindowSettings& settings, PageWindowEvents* events) : impl_(new Impl) {
  Impl& d = *impl_;
  d.events = events;
  d.extensionDir = ExtensionDirectory();
  d.startupData = StartupData(settings);
  // A context of its own: the start-up data describes this window's bridge.
  d.context = webkit_web_context_new();
  g_signal_connect(d.context, "initialize-web-extensions", G_CALLBACK(Impl::OnInitializeExtensions), &d);
  d.builtIn = settings.builtIn;
  if (!d.builtIn.scheme.empty())
    webkit_web_context_register_uri_scheme(d.context, d.builtIn.scheme.c_str(), &Impl::OnBuiltInRequest, &d,
                                           nullptr);

  d.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(d.window), settings.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(d.window), settings.width, settings.height);
  gtk_window_set_resizable(GTK_WINDOW(d.window), settings.resizable);
  if (settings.centered) gtk_window_set_position(GTK_WINDOW(d.window), GTK_WIN_POS_CENTER);
  if (settings.mainIcon) {
    g_autoptr(GList) icons = nullptr;
    for (int size : {16, 32, 48, 128}) icons = g_list_append(icons, icon::MainIconPixbuf(size));
    gtk_window_set_icon_list(GTK_WINDOW(d.window), icons);
    g_list_foreach(icons, [](gpointer p, gpointer) { g_object_unref(p); }, nullptr);
  }
  d.notice = settings.notice;
  if (d.notice) {
    GtkWindow* w = GTK_WINDOW(d.window);
    gtk_window_set_decorated(w, FALSE);
    gtk_window_set_keep_above(w, TRUE);
    gtk_window_set_skip_taskbar_hint(w, TRUE);
    gtk_window_set_skip_pager_hint(w, TRUE);
    gtk_window_set_accept_focus(w, FALSE);
    gtk_window_set_focus_on_map(w, FALSE);
  }
  d.view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(d.context));
  TurnFeaturesOff(d.view);
  // The page, with a cover above it that shows only while a picture covers the page.
  GtkWidget* overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(overlay), GTK_WIDGET(d.view));
  d.cover = gtk_drawing_area_new();
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), d.cover);
  g_signal_connect(d.cover, "draw", G_CALLBACK(Impl::OnDrawCover), &d);
  gtk_container_add(GTK_CONTAINER(d.window), overlay);
  gtk_widget_show(GTK_WIDGET(d.view));
  gtk_widget_show(overlay);
  gtk_widget_add_events(GTK_WIDGET(d.view), GDK_POINTER_MOTION_MASK);
  g_signal_connect(d.view, "motion-notify-event", G_CALLBACK(Impl::OnMotion), &d);
  g_signal_connect(d.window, "size-allocate", G_CALLBACK(Impl::OnSizeAllocate), &d);

  g_signal_connect(d.view, "user-message-received", G_CALLBACK(Impl::OnUserMessage), &d);
  g_signal_connect(d.view, "load-changed", G_CALLBACK(Impl::OnLoadChanged), &d);
  g_signal_connect(d.view, "load-failed", G_CALLBACK(Impl::OnLoadFailed), &d);
  g_signal_connect(d.view, "web-process-terminated", G_CALLBACK(Impl::OnWebProcessTerminated), &d);
  g_signal_connect(d.view, "close", G_CALLBACK(Impl::OnPageClose), &d);
  g_signal_connect(d.window, "delete-event", G_CALLBACK(Impl::OnDelete), &d);
  g_signal_connect(d.window, "window-state-event", G_CALLBACK(Impl::OnWindowState), &d);
  g_signal_connect(d.window, "show", G_CALLBACK(Impl::OnShownOrHidden), &d);
  g_signal_connect(d.window, "hide", G_CALLBACK(Impl::OnShownOrHidden), &d);
}

PageWindow::~PageWindow() {
  // No signal reaches the owner while the window goes.
  if (impl_->window) g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
  if (impl_->view) g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
  if (impl_->cover) g_signal_handlers_disconnect_by_data(impl_->cover, impl_.get());
  if (impl_->context && !impl_->builtIn.scheme.empty()) g_signal_handlers_disconnect_by_data(impl_->context, impl_.get());
}

void PageWindow::Load(const std::string& address) {
  // The engine takes UTF-8 addresses only.
  g_autofree gchar* valid = g_utf8_make_valid(address.c_str(), static_cast<gssize>(address.size()));
  webkit_web_view_load_uri(impl_->view, valid);
}

void PageWindow::PushState(const State& values) { impl_->SendToPage(msg::kState, StateDictionary(values)); }

void PageWindow::CallPageFunction(const std::string& name, const std::vector<std::string>& args) {
  GVariantBuilder texts;
  g_variant_builder_init(&texts, G_VARIANT_TYPE("as"));
  for (const std::string& a : args) {
    g_autofree gchar* valid = g_utf8_make_valid(a.c_str(), static_cast<gssize>(a.size()));
    g_variant_builder_add(&texts, "s", valid);
  }
  impl_->SendToPage(msg::kCallFunction, g_variant_new(msg::kCallFunctionType, name.c_str(), &texts));
}

void PageWindow::TrimMemory() {
  WebKitWebsiteDataManager* data = webkit_web_context_get_website_data_manager(impl_->context);
  webkit_website_data_manager_clear(data, WEBKIT_WEBSITE_DATA_MEMORY_CACHE, 0, nullptr, nullptr, nullptr);
  impl_->SendToPage(msg::kTrimMemory, nullptr);
  TrimProcessMemory();
}

void PageWindow::ShowWindow(Show how) {
  GtkWindow* w = GTK_WINDOW(impl_->window);
  switch (how) {
    case Show::Hide:
      gtk_widget_hide(impl_->window);
      break;
    case Show::Normal:
      gtk_window_deiconify(w);
      gtk_widget_show(impl_->window);
      break;
    case Show::Maximized:
      gtk_window_maximize(w);
      gtk_window_deiconify(w);
      gtk_widget_show(impl_->window);
      break;
    case Show::Minimized:
      gtk_window_iconify(w);
      gtk_widget_show(impl_->window);
      break;
  }
}

void PageWindow::BringToFront() {
  gtk_window_present_with_time(GTK_WINDOW(impl_->window), static_cast<guint32>(g_get_monotonic_time() / 1000));
}

bool PageWindow::IsVisible() const { return gtk_widget_get_visible(impl_->window) && !impl_->minimized; }

bool PageWindow::IsMinimized() const { return gtk_widget_get_visible(impl_->window) && impl_->minimized; }

void PageWindow::SetResizable(bool resizable) { gtk_window_set_resizable(GTK_WINDOW(impl_->window), resizable); }

Rect PageWindow::WorkArea() const {
  GdkDisplay* display = gtk_widget_get_display(impl_->window);
  GdkWindow* own = gtk_widget_get_window(impl_->window);
  GdkMonitor* monitor = own ? gdk_display_get_monitor_at_window(display, own) : nullptr;
  if (!monitor) monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  return {area.x, area.y, area.width, area.height};
}

void PageWindow::SetRoundedShape(int ellipse) {
  impl_->shapeEllipse = ellipse;
  if (gtk_widget_get_realized(impl_->window)) impl_->ApplyShape(impl_->window);
}

bool PageWindow::ShowCover(const std::string& resourcePath) {
  Impl& d = *impl_;
  GdkPixbuf* picture = PixbufFromResource(resourcePath);
  if (!picture) return false;
  if (d.coverPicture) g_object_unref(d.coverPicture);
  d.coverPicture = picture;
  gtk_widget_show(d.cover);
  gtk_widget_queue_draw(d.cover);
  return true;
}

void PageWindow::HideCover() {
  gtk_widget_hide(impl_->cover);
  gtk_widget_queue_draw(impl_->window);
}

bool PageWindow::CoverShown() const { return gtk_widget_get_visible(impl_->cover); }

bool PageWindow::LoadComplete() const { return impl_->loadEnded && !impl_->loading; }

void PageWindow::SetElementHtml(const std::string& id, const std::string& html) {
  g_autofree gchar* validId = g_utf8_make_valid(id.c_str(), static_cast<gssize>(id.size()));
  g_autofree gchar* valid = g_utf8_make_valid(html.c_str(), static_cast<gssize>(html.size()));
  impl_->SendToPage(msg::kSetElementHtml, g_variant_new(msg::kSetElementHtmlType, validId, valid));
}

void PageWindow::MoveResize(const Rect& rect) {
  GtkWindow* w = GTK_WINDOW(impl_->window);
  gtk_window_unmaximize(w);
  gtk_window_move(w, rect.x, rect.y);
  gtk_window_resize(w, rect.width > 0 ? rect.width : 1, rect.height > 0 ? rect.height : 1);
}

void PageWindow::FadeOut(int ms, std::function<void()> done) {
  Impl& d = *impl_;
  if (d.fadeSource) g_source_remove(d.fadeSource);
  d.fadeStart = g_get_monotonic_time();
  d.fadeMs = ms > 0 ? ms : 1;
  d.fadeDone = std::move(done);
  d.fadeSource = g_timeout_add(kFadeStepMs, &Impl::OnFadeStep, &d);
}

void PageWindow::ShowMessageBox(const std::string& caption, const std::string& text, unsigned style) {
  impl_->ShowBox(caption, text, style);
}

Rect PrimaryWorkArea() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return {};
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  return {area.x, area.y, area.width, area.height};
}

bool OpenDisplay(int* argc, char*** argv) {
  // Windows are placed and kept above others through X11: under a Wayland
  // session that means XWayland, unless the user chose a backend.
  if (!std::getenv("GDK_BACKEND")) gdk_set_allowed_backends("x11,*");
  return gtk_init_check(argc, argv);
}

void RunLoop() { gtk_main(); }

void QuitLoop() {
  if (gtk_main_level() > 0) gtk_main_quit();
}

std::string ExtensionDirectory() {
  if (const char* dir = std::getenv("VELMORA_HOST_EXTENSION_DIR"); dir && *dir) return dir;
  std::string own = ProgramFolder();
  if (g_file_test((own + "/libvelmora-host.so").c_str(), G_FILE_TEST_EXISTS)) return own;
  g_autofree gchar* root = g_path_get_dirname(own.c_str());
  return std::string(root) + "/lib";
}

void TrimProcessMemory() { malloc_trim(0); }

}  // namespace host
