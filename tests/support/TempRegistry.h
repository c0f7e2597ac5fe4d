// A fresh folder for one test (named after the test and the process, in
// the test's temporary folder) with the registry of the system in it:
// VELMORA_REGISTRY names `registry()` while the object lives; the folder is
// removed at the end, even after a test made parts of it read-only.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/ScopedEnv.h"

namespace support {

class TempRegistry {
 public:
  // `registryPath` is the registry below the folder ("" for the folder itself).
  explicit TempRegistry(const std::string& prefix, const std::string& registryPath = "registry")
      : dir_(testing::TempDir() + prefix + std::to_string(::getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name()),
        registry_(registryPath.empty() ? dir_ : dir_ + "/" + registryPath),
        env_("VELMORA_REGISTRY") {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    env_.Set(registry_.c_str());
  }
  ~TempRegistry() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& registry() const { return registry_; }

 private:
  std::string dir_;
  std::string registry_;
  ScopedEnv env_;
};

}  // namespace support
