#include "host/TrayIcon.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "host/MainIcon.h"

namespace host {

namespace {

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr int kMenuRootId = 0;
constexpr int kIconSizes[] = {16, 22, 32, 48};

constexpr char kIntrospection[] = R"XML(<node>
 <interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/>
  <property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="WindowId" type="i" access="read"/>
  <property name="IconName" type="s" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionIconName" type="s" access="read"/>
  <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
  <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/>
  <property name="Menu" type="o" access="read"/>
  <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
  <signal name="NewTitle"/>
  <signal name="NewIcon"/>
  <signal name="NewToolTip"/>
  <signal name="NewStatus"><arg name="status" type="s"/></signal>
 </interface>
 <interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <property name="TextDirection" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="IconThemePath" type="as" access="read"/>
  <method name="GetLayout">
   <arg type="i" name="parentId" direction="in"/><arg type="i" name="recursionDepth" direction="in"/>
   <arg type="as" name="propertyNames" direction="in"/>
   <arg type="u" name="revision" direction="out"/><arg type="(ia{sv}av)" name="layout" direction="out"/>
  </method>
  <method name="GetGroupProperties">
   <arg type="ai" name="ids" direction="in"/><arg type="as" name="propertyNames" direction="in"/>
   <arg type="a(ia{sv})" name="properties" direction="out"/>
  </method>
  <method name="GetProperty">
   <arg type="i" name="id" direction="in"/><arg type="s" name="name" direction="in"/>
   <arg type="v" name="value" direction="out"/>
  </method>
  <method name="Event">
   <arg type="i" name="id" direction="in"/><arg type="s" name="eventId" direction="in"/>
   <arg type="v" name="data" direction="in"/><arg type="u" name="timestamp" direction="in"/>
  </method>
  <method name="EventGroup"><arg type="a(isvu)" name="events" direction="in"/><arg type="ai" name="idErrors" direction="out"/></method>
  <method name="AboutToShow"><arg type="i" name="id" direction="in"/><arg type="b" name="needUpdate" direction="out"/></method>
  <method name="AboutToShowGroup">
   <arg type="ai" name="ids" direction="in"/><arg type="ai" name="updatesNeeded" direction="out"/>
   <arg type="ai" name="idErrors" direction="out"/>
  </method>
  <signal name="ItemsPropertiesUpdated"><arg type="a(ia{sv})" name="updatedProps"/><arg type="a(ias)" name="removedProps"/></signal>
  <signal name="LayoutUpdated"><arg type="u" name="revision"/><arg type="i" name="parent"/></signal>
 </interface>
</node>)XML";

}  // namespace

struct TrayIcon::Impl {
  std::string tip;
  std::vector<TrayMenuItem> menu;
  TrayIconEvents* events = nullptr;

  GDBusConnection* bus = nullptr;
  GDBusNodeInfo* node = nullptr;
  guint itemRegistration = 0, menuRegistration = 0, watch = 0;
  GCancellable* cancel = nullptr;
  bool registered = false;  // a status-notifier watcher took the item

  GtkStatusIcon* legacy = nullptr;
  GtkWidget* popup = nullptr;
  // Cleared when the icon goes, so that events still queued are dropped.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  ~Impl() {
    *alive = false;
    if (cancel) {
      g_cancellable_cancel(cancel);
      g_object_unref(cancel);
    }
    if (watch) g_bus_unwatch_name(watch);
    if (bus) {
      if (itemRegistration) g_dbus_connection_unregister_object(bus, itemRegistration);
      if (menuRegistration) g_dbus_connection_unregister_object(bus, menuRegistration);
      g_dbus_connection_flush_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    if (node) g_dbus_node_info_unref(node);
    DropLegacy();
    if (popup) gtk_widget_destroy(popup);
  }

  // --- What the icon does --------------------------------------------------

  // Events run from the loop, after the bus call that caused them was
  // answered: an item may end the program.
  void Later(int item) {
    struct Call {
      Impl* impl;
      std::shared_ptr<bool> alive;
      int item;  // -1: activate
    };
    g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
      auto* call = static_cast<Call*>(data);
      if (!*call->alive) return G_SOURCE_REMOVE;
      if (call->item < 0) call->impl->events->OnTrayActivate();
      else call->impl->events->OnTrayMenuItem(call->item);
      return G_SOURCE_REMOVE;
    }, new Call{this, alive, item}, [](gpointer data) { delete static_cast<Call*>(data); });
  }

  void PopUpMenu() {
    if (popup) gtk_widget_destroy(popup);
    popup = gtk_menu_new();
    for (const TrayMenuItem& item : menu) {
      GtkWidget* entry = gtk_menu_item_new_with_label(item.label.c_str());
      g_object_set_data(G_OBJECT(entry), "velmora-item", GINT_TO_POINTER(item.id));
      g_signal_connect(entry, "activate", G_CALLBACK(+[](GtkMenuItem* entry, gpointer self) {
                         static_cast<Impl*>(self)->events->OnTrayMenuItem(
                             GPOINTER_TO_INT(g_object_get_data(G_OBJECT(entry), "velmora-item")));
                       }), this);
      gtk_menu_shell_append(GTK_MENU_SHELL(popup), entry);
    }
    gtk_widget_show_all(popup);
    gtk_menu_popup_at_pointer(GTK_MENU(popup), nullptr);
  }

  // --- The status-notifier item --------------------------------------------

  GVariant* Pixmaps() const {
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("a(iiay)"));
    for (int size : kIconSizes) {
      std::vector<std::uint8_t> argb = icon::MainIconArgb(size);
      GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), 1);
      g_variant_builder_add(&list, "(ii@ay)", size, size, bytes);
    }
    return g_variant_builder_end(&list);
  }

  GVariant* ItemProperty(const char* name) const {
    if (!std::strcmp(name, "Category")) return g_variant_new_string("ApplicationStatus");
    if (!std::strcmp(name, "Id") || !std::strcmp(name, "Title")) return g_variant_new_string(tip.c_str());
    if (!std::strcmp(name, "Status")) return g_variant_new_string("Active");
    if (!std::strcmp(name, "WindowId")) return g_variant_new_int32(0);
    if (!std::strcmp(name, "IconName") || !std::strcmp(name, "AttentionIconName")) return g_variant_new_string("");
    if (!std::strcmp(name, "IconPixmap")) return Pixmaps();
    if (!std::strcmp(name, "AttentionIconPixmap")) return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
    if (!std::strcmp(name, "ToolTip")) {
      return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                           tip.c_str(), "");
    }
    if (!std::strcmp(name, "ItemIsMenu")) return g_variant_new_boolean(FALSE);
    if (!std::strcmp(name, "Menu")) return g_variant_new_object_path(kMenuPath);
    return nullptr;
  }

  static void OnItemCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                         GVariant*, GDBusMethodInvocation* invocation, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (!std::strcmp(method, "Activate")) impl->Later(-1);
    if (!std::strcmp(method, "ContextMenu")) impl->PopUpMenu();
  }

  static GVariant* OnItemGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                             GError** error, gpointer self) {
    GVariant* value = static_cast<Impl*>(self)->ItemProperty(name);
    if (!value) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return value;
  }

  // --- Its menu ------------------------------------------------------------

  GVariant* MenuItemProperties(int id) const {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
    if (id == kMenuRootId) {
      g_variant_builder_add(&props, "{sv}", "children-display", g_variant_new_string("submenu"));
    } else {
      for (const TrayMenuItem& item : menu) {
        if (item.id != id) continue;
        g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string(item.label.c_str()));
        g_variant_builder_add(&props, "{sv}", "enabled", g_variant_new_boolean(TRUE));
        g_variant_builder_add(&props, "{sv}", "visible", g_variant_new_boolean(TRUE));
      }
    }
    return g_variant_builder_end(&props);
  }

  GVariant* Layout() const {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    for (const TrayMenuItem& item : menu) {
      g_variant_builder_add(&children, "v",
                            g_variant_new("(i@a{sv}@av)", item.id, MenuItemProperties(item.id),
                                          g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0)));
    }
    return g_variant_new("(u(i@a{sv}av))", 1u, kMenuRootId, MenuItemProperties(kMenuRootId), &children);
  }

  static void OnMenuCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                         GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (!std::strcmp(method, "GetLayout")) {
      g_dbus_method_invocation_return_value(invocation, impl->Layout());
    } else if (!std::strcmp(method, "GetGroupProperties")) {
      g_autoptr(GVariantIter) ids = nullptr;
      g_variant_get(parameters, "(aias)", &ids, nullptr);
      GVariantBuilder out;
      g_variant_builder_init(&out, G_VARIANT_TYPE("a(ia{sv})"));
      for (gint32 id; g_variant_iter_next(ids, "i", &id);)
        g_variant_builder_add(&out, "(i@a{sv})", id, impl->MenuItemProperties(id));
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &out));
    } else if (!std::strcmp(method, "GetProperty")) {
      gint32 id = 0;
      const gchar* name = nullptr;
      g_variant_get(parameters, "(i&s)", &id, &name);
      g_autoptr(GVariant) props = impl->MenuItemProperties(id);
      g_autoptr(GVariant) value = g_variant_lookup_value(props, name, nullptr);
      if (!value) value = g_variant_ref_sink(g_variant_new_string(""));
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    } else if (!std::strcmp(method, "Event")) {
      gint32 id = 0;
      const gchar* event = nullptr;
      g_variant_get(parameters, "(i&svu)", &id, &event, nullptr, nullptr);
      g_dbus_method_invocation_return_value(invocation, nullptr);
      if (!std::strcmp(event, "clicked") && id != kMenuRootId) impl->Later(id);
    } else if (!std::strcmp(method, "EventGroup")) {
      g_autoptr(GVariantIter) events = nullptr;
      g_variant_get(parameters, "(a(isvu))", &events);
      gint32 id = 0;
      const gchar* event = nullptr;
      std::vector<int> clicked;
      while (g_variant_iter_next(events, "(i&svu)", &id, &event, nullptr, nullptr))
        if (!std::strcmp(event, "clicked") && id != kMenuRootId) clicked.push_back(id);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
      for (int c : clicked) impl->Later(c);
    } else if (!std::strcmp(method, "AboutToShow")) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (!std::strcmp(method, "AboutToShowGroup")) {
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                    g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "%s", method);
    }
  }

  static GVariant* OnMenuGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                             GError** error, gpointer) {
    if (!std::strcmp(name, "Version")) return g_variant_new_uint32(3);
    if (!std::strcmp(name, "TextDirection")) return g_variant_new_string("ltr");
    if (!std::strcmp(name, "Status")) return g_variant_new_string("normal");
    if (!std::strcmp(name, "IconThemePath")) return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return nullptr;
  }

  // --- Finding a tray --------------------------------------------------------

  static void OnRegistered(GObject* source, GAsyncResult* result, gpointer self) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* impl = static_cast<Impl*>(self);
    impl->registered = reply != nullptr;
    if (impl->registered) impl->DropLegacy();
    else impl->MakeLegacy();
  }

  static void OnWatcherAppeared(GDBusConnection* bus, const gchar*, const gchar*, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    g_dbus_connection_call(bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
                           g_variant_new("(s)", g_dbus_connection_get_unique_name(bus)), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, impl->cancel, &Impl::OnRegistered, impl);
  }

  static void OnWatcherVanished(GDBusConnection*, const gchar*, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    impl->registered = false;
    impl->MakeLegacy();
  }

  void MakeLegacy() {
    if (legacy) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* picture = icon::MainIconPixbuf(32);
    legacy = gtk_status_icon_new_from_pixbuf(picture);
    g_object_unref(picture);
    gtk_status_icon_set_tooltip_text(legacy, tip.c_str());
    gtk_status_icon_set_title(legacy, tip.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_signal_connect(legacy, "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer self) {
                       static_cast<Impl*>(self)->events->OnTrayActivate();
                     }), this);
    g_signal_connect(legacy, "popup-menu", G_CALLBACK(+[](GtkStatusIcon*, guint, guint, gpointer self) {
                       static_cast<Impl*>(self)->PopUpMenu();
                     }), this);
  }

  void DropLegacy() {
    if (!legacy) return;
    g_signal_handlers_disconnect_by_data(legacy, this);
    g_object_unref(legacy);
    legacy = nullptr;
  }
};

TrayIcon::TrayIcon(const std::string& tip, std::vector<TrayMenuItem> menu, TrayIconEvents* events)
    : impl_(new Impl) {
  Impl& d = *impl_;
  d.tip = tip;
  d.menu = std::move(menu);
  d.events = events;
  d.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  d.node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  if (d.bus && d.node) {
    static const GDBusInterfaceVTable itemVtable = {&Impl::OnItemCall, &Impl::OnItemGet, nullptr, {}};
    static const GDBusInterfaceVTable menuVtable = {&Impl::OnMenuCall, &Impl::OnMenuGet, nullptr, {}};
    d.itemRegistration = g_dbus_connection_register_object(
        d.bus, kItemPath, g_dbus_node_info_lookup_interface(d.node, "org.kde.StatusNotifierItem"), &itemVtable,
        &d, nullptr, nullptr);
    d.menuRegistration = g_dbus_connection_register_object(
        d.bus, kMenuPath, g_dbus_node_info_lookup_interface(d.node, "com.canonical.dbusmenu"), &menuVtable, &d,
        nullptr, nullptr);
    d.cancel = g_cancellable_new();
    d.watch = g_bus_watch_name_on_connection(d.bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                             &Impl::OnWatcherAppeared, &Impl::OnWatcherVanished, &d, nullptr);
  } else {
    d.MakeLegacy();
  }
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::Available() const {
  if (impl_->registered) return true;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  return impl_->legacy && gtk_status_icon_is_embedded(impl_->legacy);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

}  // namespace host
