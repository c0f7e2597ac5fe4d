// An environment variable set for a scope: the value it had before (or
// its absence) comes back when the guard goes.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace support {

class ScopedEnv {
 public:
  // Remembers the variable as it is; Set changes it.
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* v = ::getenv(name)) saved_ = v;
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name) { Set(value.c_str()); }
  ~ScopedEnv() {
    if (saved_) ::setenv(name_, saved_->c_str(), 1);
    else ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Null unsets the variable.
  void Set(const char* value) {
    if (value) ::setenv(name_, value, 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace support
