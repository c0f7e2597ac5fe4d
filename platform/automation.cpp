#include "platform/automation.h"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <map>
#include <string>

namespace automation {

namespace {

std::string DataHome() {
  if (const char* d = g_getenv("XDG_DATA_HOME"); d && *d) return d;
  return std::string(g_get_home_dir()) + "/.local/share";
}

// A word of an Exec line, quoted the way the bus splits it (single quotes,
// a quote inside as '\'').
std::string Quoted(std::string_view word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string Introspection(std::string_view busName) {
  return "<node><interface name='" + std::string(busName) +
         "'><method name='Attach'/><method name='Detach'/></interface></node>";
}

}  // namespace

std::string ServiceFilePath(std::string_view busName) {
  return DataHome() + "/dbus-1/services/" + std::string(busName) + ".service";
}

bool WriteServiceFile(std::string_view busName, std::string_view program, std::string_view argument) {
  std::string path = ServiceFilePath(busName);
  g_autofree gchar* dir = g_path_get_dirname(path.c_str());
  if (g_mkdir_with_parents(dir, 0700) != 0) return false;
  std::string text = "[D-BUS Service]\nName=" + std::string(busName) + "\nExec=" + Quoted(program) + " " +
                     std::string(argument) + "\n";
  return g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr);
}

bool RemoveServiceFile(std::string_view busName) {
  std::string path = ServiceFilePath(busName);
  return g_remove(path.c_str()) == 0 || !g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

struct Server::Impl {
  Events events;
  GDBusConnection* bus = nullptr;
  GDBusNodeInfo* node = nullptr;
  guint registration = 0, owner = 0;
  // Attached callers by their unique bus name: how many attachments each
  // holds, and the watch that sees it leave the bus.
  struct Caller {
    int count = 0;
    guint watch = 0;
  };
  std::map<std::string, Caller> callers;

  ~Impl() {
    for (auto& [name, caller] : callers) g_bus_unwatch_name(caller.watch);
    if (owner) g_bus_unown_name(owner);
    if (bus) {
      if (registration) g_dbus_connection_unregister_object(bus, registration);
      g_dbus_connection_flush_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    if (node) g_dbus_node_info_unref(node);
  }

  void Attach(const std::string& sender) {
    Caller& caller = callers[sender];
    if (!caller.watch) {
      caller.watch = g_bus_watch_name_on_connection(bus, sender.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                    &Impl::OnCallerVanished, this, nullptr);
    }
    ++caller.count;
    if (events.attached) events.attached();
  }

  // One attachment of the caller ends (all of them when it left the bus).
  void Detach(const std::string& sender, bool all) {
    auto it = callers.find(sender);
    if (it == callers.end()) return;
    int ending = all ? it->second.count : 1;
    if (all || --it->second.count == 0) {
      g_bus_unwatch_name(it->second.watch);
      callers.erase(it);
    }
    for (int i = 0; i < ending; ++i)
      if (events.detached) events.detached();
  }

  static void OnCallerVanished(GDBusConnection*, const gchar* name, gpointer self) {
    static_cast<Impl*>(self)->Detach(name, true);
  }

  static void OnCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                     GVariant*, GDBusMethodInvocation* invocation, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (g_str_equal(method, "Attach")) impl->Attach(sender);
    else if (g_str_equal(method, "Detach")) impl->Detach(sender, false);
  }
};

Server::Server() : impl_(new Impl) {}
Server::~Server() = default;

bool Server::Start(std::string_view busName, std::string_view objectPath, Events events) {
  Impl& d = *impl_;
  d.events = std::move(events);
  d.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!d.bus) return false;
  // The bus must not end the program when it goes away.
  g_dbus_connection_set_exit_on_close(d.bus, FALSE);
  std::string name(busName), path(objectPath);
  d.node = g_dbus_node_info_new_for_xml(Introspection(busName).c_str(), nullptr);
  if (!d.node) return false;
  static const GDBusInterfaceVTable vtable = {&Impl::OnCall, nullptr, nullptr, {}};
  d.registration = g_dbus_connection_register_object(d.bus, path.c_str(), d.node->interfaces[0], &vtable, &d,
                                                     nullptr, nullptr);
  if (!d.registration) return false;
  // Queued behind other instances: never replacing, never refused.
  d.owner = g_bus_own_name_on_connection(d.bus, name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                         nullptr, nullptr);
  return true;
}

int Server::attachedCount() const {
  int n = 0;
  for (auto& [name, caller] : impl_->callers) n += caller.count;
  return n;
}

}  // namespace automation
