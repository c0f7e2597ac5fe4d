// regsvr32 [/s] [/u] FILE: loads a control module and calls its
// registration entry point (DllRegisterServer, or DllUnregisterServer with
// /u). Without /s the outcome is reported in a message box. A registration
// that fails is undone (DllUnregisterServer), so no half registration stays
// behind for look-ups to find.
//
// Exit codes: 0 done, 1 bad command line, 3 the module cannot be loaded,
// 4 it has no such entry point, 5 the entry point reported a failure.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/com.h"
#include "platform/module.h"
#include "platform/msgbox.h"

namespace {

enum ExitCode { kOk = 0, kBadArguments = 1, kLoadFailed = 3, kNoEntryPoint = 4, kCallFailed = 5 };

constexpr const char* kCaption = "RegSvr32";
constexpr const char* kUsage = "Usage: regsvr32 [/s] [/u] FILE\n/s  report nothing\n/u  unregister";

bool IsSwitch(std::string_view arg, char letter) {
  return arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') && (arg[1] == letter || arg[1] == letter - 32);
}

// A bare file name means the file in the current directory, as the
// platform's loader would look for it there first.
std::string ResolveModule(const std::string& file) {
  if (file.find('/') != std::string::npos) return file;
  return "./" + file;
}

}  // namespace

int main(int argc, char** argv) {
  bool silent = false, unregister = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (IsSwitch(arg, 's')) {
      silent = true;
    } else if (IsSwitch(arg, 'u')) {
      unregister = true;
    } else if (file.empty()) {
      file = arg;
    } else {
      file.clear();
      break;
    }
  }
  auto report = [&](const std::string& text, unsigned style) {
    if (!silent) msgbox::Show(kCaption, text, style);
  };
  if (file.empty()) {
    report(kUsage, msgbox::MB_ICONERROR);
    return kBadArguments;
  }

  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    report("The module \"" + file + "\" cannot be loaded: no such file.", msgbox::MB_ICONERROR);
    return kLoadFailed;
  }
  std::string why;
  module::Module loaded = module::Module::Load(ResolveModule(file), &why);
  if (!loaded.valid()) {
    report("The module \"" + file + "\" cannot be loaded.\n" + why, msgbox::MB_ICONERROR);
    return kLoadFailed;
  }
  using EntryPoint = com::HRESULT (*)();
  auto fn = loaded.Function<EntryPoint>(entry);
  if (!fn) {
    report("The module \"" + file + "\" was loaded, but it has no entry point " + entry +
               ": it is not a control module.",
           msgbox::MB_ICONERROR);
    return kNoEntryPoint;
  }
  com::HRESULT hr = fn();
  if (com::Failed(hr)) {
    // Keep nothing of a registration that stopped half-way: look-ups would
    // find its pieces, mixed with what other registries hold.
    if (!unregister)
      if (auto undo = loaded.Function<EntryPoint>("DllUnregisterServer")) undo();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    report(std::string(entry) + " in \"" + file + "\" failed with error code " + code + ".",
           msgbox::MB_ICONERROR);
    return kCallFailed;
  }
  report(std::string(entry) + " in \"" + file + "\" succeeded.", msgbox::MB_ICONINFORMATION);
  return kOk;
}
