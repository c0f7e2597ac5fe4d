#include "platform/msgbox.h"

#include <fcntl.h>
#include <glib-object.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/codepage.h"

namespace msgbox {

namespace {

std::mutex g_mutex;
std::unique_ptr<Provider> g_provider;

// Controls are modules of their own, each with its own copy of this code,
// so the container's provider is also published in a slot that the whole
// process shares: data on a type of GLib's type system, which exists once
// per process.
constexpr char kSlotTypeName[] = "VelmoraMessageBoxProvider";

GQuark SlotQuark() { return g_quark_from_static_string("velmora-msgbox-provider"); }

GType SlotType() {
  GType type = g_type_from_name(kSlotTypeName);
  if (!type) type = g_pointer_type_register_static(kSlotTypeName);
  return type ? type : g_type_from_name(kSlotTypeName);
}

void PublishProvider(Provider* provider) {
  if (GType type = SlotType()) g_type_set_qdata(type, SlotQuark(), provider);
}

Provider* PublishedProvider() {
  GType type = g_type_from_name(kSlotTypeName);
  return type ? static_cast<Provider*>(g_type_get_qdata(type, SlotQuark())) : nullptr;
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
}

int DefaultAnswer(unsigned style) {
  switch (style & 0xF) {
    case MB_YESNO:
      return IDYES;
    default:
      return IDOK;
  }
}

}  // namespace

std::string FormatLine(std::string_view caption, std::string_view text) {
  std::string line;
  AppendEscaped(line, caption);
  line += '\t';
  AppendEscaped(line, text);
  line += '\n';
  return line;
}

int FileProvider::Show(std::string_view caption, std::string_view text, unsigned style) {
  std::string line = FormatLine(caption, text);
  // One write on an append-only descriptor keeps lines whole across processes.
  int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
  }
  return DefaultAnswer(style);
}

int LogProvider::Show(std::string_view caption, std::string_view text, unsigned style) {
  std::string line = "[message box] " + FormatLine(caption, text);
  std::fwrite(line.data(), 1, line.size(), stderr);
  return DefaultAnswer(style);
}

void SetProvider(std::unique_ptr<Provider> provider) {
  std::lock_guard lock(g_mutex);
  PublishProvider(provider.get());
  g_provider = std::move(provider);
}

int Show(std::string_view caption, std::string_view text, unsigned style) {
  if (const char* log = std::getenv("VELMORA_MSGBOX_LOG"); log && *log)
    return FileProvider(log).Show(caption, text, style);
  Provider* p;
  {
    std::lock_guard lock(g_mutex);
    p = g_provider ? g_provider.get() : PublishedProvider();
  }
  if (p) return p->Show(caption, text, style);
  return LogProvider().Show(caption, text, style);
}

int ShowAnsi(std::string_view caption, std::string_view text, unsigned style) {
  return Show(codepage::AnsiToUtf8(caption), codepage::AnsiToUtf8(text), style);
}

}  // namespace msgbox
