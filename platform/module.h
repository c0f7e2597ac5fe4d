// Loadable modules: a module loaded from its file, the functions it
// exports, and the file of the module that holds a given function (a
// module finding its own path).
#pragma once

#include <string>

namespace module {

class Module {
 public:
  Module() = default;
  // Loads the module at `path` with all its symbols resolved now; an
  // invalid module with *error set (when given) when it cannot be loaded.
  static Module Load(const std::string& path, std::string* error = nullptr);
  // Unloads the module unless it is kept.
  ~Module();
  Module(Module&& other) noexcept;
  Module& operator=(Module&& other) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool valid() const { return handle_ != nullptr; }
  // An exported function of the module as type F, or null.
  template <typename F>
  F Function(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }
  // Keeps the module loaded for the life of the process: objects it made
  // may outlive whoever loaded it.
  void Keep() { kept_ = true; }

 private:
  void* Symbol(const char* name) const;
  void* handle_ = nullptr;
  bool kept_ = false;
};

// The absolute path of the module (or program) whose code holds `address`;
// empty when it cannot be told.
std::string PathOf(const void* address);

}  // namespace module
