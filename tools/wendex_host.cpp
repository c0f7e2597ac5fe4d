// wendex-host [--timeout SECONDS] URL
//
// A bare window with one web view and the host extension: pages loaded in
// it can create the control. Every console message of the page (any frame)
// is written to standard output as one line. Exits 0 when the page calls
// window.close(), 2 when the time-out (default 60 s) passes, 1 for a bad
// command line, 3 when the page cannot be loaded or its web process dies.
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kConsoleMessage[] = "velmora.console";
constexpr char kExtensionFile[] = "libvelmora-host.so";

int g_exitCode = 0;

void Finish(int code) {
  g_exitCode = code;
  gtk_main_quit();
}

// The extension sits in the program's own folder (installed), else in lib/
// beside bin/ (a build tree).
std::string ExtensionDirectory() {
  if (const char* dir = std::getenv("VELMORA_HOST_EXTENSION_DIR"); dir && *dir) return dir;
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "lib";
  exe[n] = '\0';
  gchar* bin = g_path_get_dirname(exe);
  if (std::string own = bin; access((own + "/" + kExtensionFile).c_str(), F_OK) == 0) {
    g_free(bin);
    return own;
  }
  gchar* root = g_path_get_dirname(bin);
  std::string dir = std::string(root) + "/lib";
  g_free(bin);
  g_free(root);
  return dir;
}

void OnInitializeExtensions(WebKitWebContext* context, gpointer dir) {
  webkit_web_context_set_web_extensions_directory(context, static_cast<const char*>(dir));
}

gboolean OnUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer) {
  if (std::strcmp(webkit_user_message_get_name(message), kConsoleMessage) != 0) return FALSE;
  GVariant* parameters = webkit_user_message_get_parameters(message);
  if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING)) {
    // One message, one line.
    std::string line = g_variant_get_string(parameters, nullptr);
    for (char& c : line)
      if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  }
  return TRUE;
}

void OnClose(WebKitWebView*, gpointer) { Finish(0); }

gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer) {
  // A navigation the page cancelled itself is no failure.
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) return FALSE;
  std::fprintf(stderr, "wendex-host: cannot load %s: %s\n", uri, error->message);
  Finish(3);
  return TRUE;
}

void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
  std::fprintf(stderr, "wendex-host: the web process ended (%s)\n",
               reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed" : "terminated");
  Finish(3);
}

gboolean OnTimeout(gpointer) {
  std::fprintf(stderr, "wendex-host: timed out\n");
  Finish(2);
  return G_SOURCE_REMOVE;
}

int Usage() {
  std::fprintf(stderr, "usage: wendex-host [--timeout SECONDS] URL\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned timeout = 60;
  const char* url = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      char* end = nullptr;
      unsigned long t = std::strtoul(argv[++i], &end, 10);
      if (!end || *end || t == 0 || t > 86400) return Usage();
      timeout = static_cast<unsigned>(t);
    } else if (!url && argv[i][0] != '-') {
      url = argv[i];
    } else {
      return Usage();
    }
  }
  if (!url) return Usage();
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "wendex-host: no display\n");
    return 3;
  }

  std::string extensions = ExtensionDirectory();
  WebKitWebContext* context = webkit_web_context_new();
  g_signal_connect(context, "initialize-web-extensions", G_CALLBACK(OnInitializeExtensions),
                   const_cast<char*>(extensions.c_str()));

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
  gtk_window_set_title(GTK_WINDOW(window), "wendex-host");
  auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  g_signal_connect(view, "user-message-received", G_CALLBACK(OnUserMessage), nullptr);
  g_signal_connect(view, "close", G_CALLBACK(OnClose), nullptr);
  g_signal_connect(view, "load-failed", G_CALLBACK(OnLoadFailed), nullptr);
  g_signal_connect(view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), nullptr);
  g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                     Finish(0);
                     return TRUE;
                   }),
                   nullptr);
  g_timeout_add_seconds(timeout, OnTimeout, nullptr);

  webkit_web_view_load_uri(view, url);
  gtk_widget_show_all(window);
  gtk_main();
  std::fflush(stdout);
  return g_exitCode;
}
