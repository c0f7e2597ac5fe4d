#include "platform/registry.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/TempRegistry.h"

namespace {

namespace fs = std::filesystem;

// Every test has a registry of its own, not made yet.
class RegistryTest : public testing::Test {
 protected:
  support::TempRegistry registry_{"registry_"};
  const std::string root_ = registry_.registry();
};

TEST_F(RegistryTest, ValuesRoundTripAndKeysMatchIgnoringCase) {
  const char* key = "HKEY_CLASSES_ROOT\\CLSID\\{ABC}\\InprocServer32";
  ASSERT_EQ(registry::SetValue(key, "", "/opt/lib/Wendex.ocx"), registry::Result::Ok);
  ASSERT_EQ(registry::SetValue(key, "ThreadingModel", "Apartment"), registry::Result::Ok);
  ASSERT_EQ(registry::SetValue(key, "odd = name", "multi\nline\\value = x"), registry::Result::Ok);
  ASSERT_EQ(registry::SetValue(key, "@", "at"), registry::Result::Ok);
  EXPECT_EQ(registry::GetValue("hkey_classes_root\\clsid\\{abc}\\inprocserver32"), "/opt/lib/Wendex.ocx");
  EXPECT_EQ(registry::GetValue(key, "threadingmodel"), "Apartment");
  EXPECT_EQ(registry::GetValue(key, "odd = name"), "multi\nline\\value = x");
  EXPECT_EQ(registry::GetValue(key, "@"), "at");
  EXPECT_EQ(registry::GetValue(key, "missing"), std::nullopt);
  EXPECT_EQ(registry::Values(key).size(), 4u);
  // Replacing keeps one entry.
  ASSERT_EQ(registry::SetValue(key, "THREADINGMODEL", "Both"), registry::Result::Ok);
  EXPECT_EQ(registry::GetValue(key, "ThreadingModel"), "Both");
  EXPECT_EQ(registry::Values(key).size(), 4u);
  // Key names with '/' and a leading '.' are stored safely.
  ASSERT_EQ(registry::SetValue("HKEY_CURRENT_USER\\a/b\\..", "v", "1"), registry::Result::Ok);
  EXPECT_EQ(registry::GetValue("HKEY_CURRENT_USER\\a/b\\..", "v"), "1");
  EXPECT_EQ(registry::SubKeys("HKEY_CURRENT_USER"), std::vector<std::string>{"a/b"});
}

TEST_F(RegistryTest, DeleteKeyRemovesSubkeys) {
  registry::SetValue("HKEY_CLASSES_ROOT\\TypeLib\\{L}\\1.0\\0\\linux", "", "x");
  EXPECT_TRUE(registry::KeyExists("HKEY_CLASSES_ROOT\\TypeLib\\{L}\\1.0"));
  EXPECT_EQ(registry::DeleteKey("HKEY_CLASSES_ROOT\\TypeLib\\{l}"), registry::Result::Ok);
  EXPECT_FALSE(registry::KeyExists("HKEY_CLASSES_ROOT\\TypeLib\\{L}\\1.0"));
  EXPECT_EQ(registry::DeleteKey("HKEY_CLASSES_ROOT\\TypeLib\\{L}"), registry::Result::NotFound);
  EXPECT_EQ(registry::SetValue("", "a", "b"), registry::Result::Invalid);
  EXPECT_EQ(registry::SetValue("A\\\\B", "a", "b"), registry::Result::Invalid);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  // Two processes with two threads each write distinct values into one key.
  auto writeMany = [](const std::string& prefix) {
    for (int i = 0; i < 40; ++i)
      ASSERT_EQ(registry::SetValue("HKEY_CURRENT_USER\\Shared", prefix + std::to_string(i), "v"),
                registry::Result::Ok);
  };
  pid_t child = ::fork();
  if (child == 0) {
    std::thread a(writeMany, "childA"), b(writeMany, "childB");
    a.join();
    b.join();
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  std::thread a(writeMany, "parentA"), b(writeMany, "parentB");
  a.join();
  b.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(registry::Values("HKEY_CURRENT_USER\\Shared").size(), 160u);
}

TEST_F(RegistryTest, UnwritableLocationIsAClearFailure) {
  if (::geteuid() == 0) {
    // root ignores permission bits: a registry below a regular file cannot be made by anyone.
    fs::create_directories(root_);
    std::string file = root_ + "/file";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fclose(f);
    setenv("VELMORA_REGISTRY", (file + "/registry").c_str(), 1);
  } else {
    fs::create_directories(root_);
    fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);
  }
  EXPECT_EQ(registry::SetValue("HKEY_CLASSES_ROOT\\X", "", "v"), registry::Result::CannotWrite);
  EXPECT_EQ(registry::CreateKey("HKEY_CLASSES_ROOT\\X"), registry::Result::CannotWrite);
  EXPECT_FALSE(registry::KeyExists("HKEY_CLASSES_ROOT\\X"));
}

TEST_F(RegistryTest, LookupsReadTheUsersRegistryThenTheMachines) {
  const std::string machine = root_ + "/machine", user = root_ + "/config/velmora/registry";
  setenv("VELMORA_REGISTRY", machine.c_str(), 1);
  registry::SetValue("HKEY_CLASSES_ROOT\\Shared", "", "machine");
  registry::SetValue("HKEY_CLASSES_ROOT\\Shared", "MachineOnly", "m");
  registry::SetValue("HKEY_CLASSES_ROOT\\Shared\\FromMachine", "", "1");
  registry::SetValue("HKEY_CLASSES_ROOT\\MachineKey", "", "m");
  setenv("VELMORA_REGISTRY", user.c_str(), 1);
  registry::SetValue("hkey_classes_root\\SHARED", "", "user");
  registry::SetValue("HKEY_CLASSES_ROOT\\Shared\\FromUser", "", "1");
  registry::SetValue("HKEY_CLASSES_ROOT\\Shared\\frommachine", "", "1");

  // Neither replaced: the user's registry first, then the machine's.
  const std::string home = getenv("HOME") ? getenv("HOME") : "";
  unsetenv("VELMORA_REGISTRY");
  setenv("VELMORA_MACHINE_REGISTRY", machine.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
  EXPECT_EQ(registry::ReadRoots(), (std::vector<std::string>{user, machine}));
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\Shared"), "user");
  // The user's key hides the machine's values of the same key ...
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\Shared", "MachineOnly"), std::nullopt);
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\MachineKey"), "m");
  EXPECT_TRUE(registry::KeyExists("HKEY_CLASSES_ROOT\\MachineKey"));
  // ... while the subkeys of both are listed, each once.
  auto subKeys = registry::SubKeys("HKEY_CLASSES_ROOT\\Shared");
  std::sort(subKeys.begin(), subKeys.end());
  EXPECT_EQ(subKeys, (std::vector<std::string>{"FromUser", "frommachine"}));

  // Root writes the machine's registry, anyone else their own; the own view reads that one alone.
  const bool root = ::geteuid() == 0;
  EXPECT_EQ(registry::WriteRoot(), root ? machine : user);
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\Shared", "", registry::View::Own), root ? "machine" : "user");
  EXPECT_EQ(registry::KeyExists("HKEY_CLASSES_ROOT\\MachineKey", registry::View::Own), root);
  ASSERT_EQ(registry::SetValue("HKEY_CLASSES_ROOT\\Written", "", "w"), registry::Result::Ok);
  EXPECT_TRUE(fs::is_directory((root ? machine : user) + "/HKEY_CLASSES_ROOT/Written"));
  EXPECT_FALSE(fs::exists((root ? user : machine) + "/HKEY_CLASSES_ROOT/Written"));

  // VELMORA_REGISTRY replaces both.
  setenv("VELMORA_REGISTRY", (root_ + "/other").c_str(), 1);
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\Shared"), std::nullopt);
  EXPECT_FALSE(registry::KeyExists("HKEY_CLASSES_ROOT\\MachineKey"));
  unsetenv("VELMORA_REGISTRY");

  // Without HOME the user's registry is in the home of the password database,
  // never in a folder that other users could fill.
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  const passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(registry::ReadRoots().front(), std::string(entry->pw_dir) + "/.config/velmora/registry");
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  unsetenv("VELMORA_MACHINE_REGISTRY");
}

}  // namespace
