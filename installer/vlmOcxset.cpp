// vlmOcxset: registers the publishing control by running the registration
// tool silently on it, and ends at once. It waits for nothing and reports
// nothing: the tool's outcome is not looked at. It reads no command line and
// shows no window.
//
// Run by root, the registration is machine-wide; run by anyone else, it is
// that user's (the registry writes the registry of whoever writes). The
// control is named by the installer's own folder, not the working directory,
// so a start from anywhere registers the control that sits beside the
// installer: in its own folder (installed, every program and module sits in
// one folder), else in lib/ beside its bin/ (a build tree). The registration
// tool sits beside the installer in both.
#include <filesystem>
#include <string>

#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistrationTool = "regsvr32";
constexpr const char* kSilent = "/s";
constexpr const char* kControlModule = "Wendex.ocx";

// The control beside the installer's folder: in it, else in lib/ beside bin/.
fs::path ControlBeside(const fs::path& dir) {
  std::error_code ec;
  const fs::path own = dir / kControlModule;
  const fs::path lib = dir.parent_path() / "lib" / kControlModule;
  return !fs::exists(own, ec) && fs::exists(lib, ec) ? lib : own;
}

}  // namespace

int main() {
  // 1. The installer's own folder.
  const fs::path dir = process::ProgramDirectory();
  if (dir.empty()) return 0;
  // 2. "regsvr32 /s CONTROL", started and left to itself.
  process::Spawn(dir / kRegistrationTool, {kSilent, ControlBeside(dir)});
  // 3. The installer ends at once.
  return 0;
}
