#include "platform/module.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <utility>

namespace module {

Module Module::Load(const std::string& path, std::string* error) {
  Module m;
  // Local symbols: nothing in one module can be confused with another's.
  m.handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m.handle_ && error) {
    const char* why = ::dlerror();
    *error = why ? why : "cannot load " + path;
  }
  return m;
}

Module::~Module() {
  if (handle_ && !kept_) ::dlclose(handle_);
}

Module::Module(Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), kept_(std::exchange(other.kept_, false)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    if (handle_ && !kept_) ::dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    kept_ = std::exchange(other.kept_, false);
  }
  return *this;
}

void* Module::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

std::string PathOf(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

}  // namespace module
