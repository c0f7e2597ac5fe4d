#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/com.h"
#include "platform/registry.h"

#include "tests/support/TempRegistry.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kCtrlClsid = "{6D8DC97C-3B31-4D45-A902-3311B363F355}";
constexpr const char* kPageClsid = "{01578AFE-BCDE-468B-ACE3-D954B33F3E28}";
constexpr const char* kLibid = "{24A80E49-B3FA-4379-B5A8-01D5ADA6B435}";

class RegistrationTest : public testing::Test {
 protected:
  // A folder of the test's own with its registry, and the boxes logged there.
  support::TempRegistry registry_{"reg_"};
  const std::string dir_ = registry_.dir();
  support::ScopedEnv boxes_{"VELMORA_MSGBOX_LOG", dir_ + "/boxes.log"};

  // A registry location below a regular file cannot be created, even by root.
  void MakeRegistryUnwritable() {
    std::ofstream(dir_ + "/blocker") << "x";
    setenv("VELMORA_REGISTRY", (dir_ + "/blocker/registry").c_str(), 1);
  }
  std::string Boxes() {
    std::ifstream in(dir_ + "/boxes.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int RunRegsvr32(std::initializer_list<std::string> args) {
    std::string cmd = REGSVR32;
    for (const auto& a : args) cmd += " '" + a + "'";
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

using EntryPoint = com::HRESULT (*)();

TEST_F(RegistrationTest, RegisterAndUnregisterRoundTrip) {
  void* module = dlopen(WENDEX_OCX, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto reg = reinterpret_cast<EntryPoint>(dlsym(module, "DllRegisterServer"));
  auto unreg = reinterpret_cast<EntryPoint>(dlsym(module, "DllUnregisterServer"));
  ASSERT_TRUE(reg && unreg);
  ASSERT_EQ(reg(), com::S_OK);

  const std::string path = fs::canonical(WENDEX_OCX).string();
  const std::string ctrl = std::string("HKEY_CLASSES_ROOT\\CLSID\\") + kCtrlClsid;
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\WENDEX.WendexCtrl.1\\CLSID"), kCtrlClsid);
  EXPECT_EQ(registry::GetValue("HKEY_CLASSES_ROOT\\WENDEX.WendexPropPage.1\\CLSID"), kPageClsid);
  EXPECT_EQ(registry::GetValue(ctrl), "Wendex Control");
  EXPECT_EQ(registry::GetValue(ctrl + "\\InprocServer32"), path);
  EXPECT_EQ(registry::GetValue(ctrl + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(registry::GetValue(ctrl + "\\MiscStatus\\1"), std::to_string(0x20191));
  EXPECT_EQ(registry::GetValue(ctrl + "\\TypeLib"), kLibid);
  EXPECT_EQ(registry::GetValue(std::string("HKEY_CLASSES_ROOT\\CLSID\\") + kPageClsid), "Wendex Property Page");
  EXPECT_EQ(registry::GetValue(std::string("HKEY_CLASSES_ROOT\\TypeLib\\") + kLibid + "\\1.0"), "WendexLib");
  EXPECT_EQ(registry::GetValue(std::string("HKEY_CLASSES_ROOT\\TypeLib\\") + kLibid + "\\1.0\\0\\linux"), path);
  // Registering twice changes nothing.
  ASSERT_EQ(reg(), com::S_OK);

  ASSERT_EQ(unreg(), com::S_OK);
  EXPECT_EQ(registry::SubKeys("HKEY_CLASSES_ROOT\\CLSID"), std::vector<std::string>{});
  EXPECT_FALSE(registry::KeyExists("HKEY_CLASSES_ROOT\\WENDEX.WendexCtrl.1"));
  EXPECT_FALSE(registry::KeyExists("HKEY_CLASSES_ROOT\\WENDEX.WendexPropPage.1"));
  EXPECT_FALSE(registry::KeyExists(std::string("HKEY_CLASSES_ROOT\\TypeLib\\") + kLibid));
  EXPECT_EQ(registry::SubKeys("HKEY_CLASSES_ROOT\\Interface"), std::vector<std::string>{});

  MakeRegistryUnwritable();
  EXPECT_EQ(reg(), com::SELFREG_E_TYPELIB);
  EXPECT_EQ(unreg(), com::S_OK);  // nothing there to remove
  dlclose(module);
}

TEST_F(RegistrationTest, Regsvr32Outcomes) {
  std::ofstream(dir_ + "/notes.txt") << "not a module";
  struct Case {
    std::initializer_list<std::string> args;
    int exitCode;
    const char* boxContains;  // null: no box
  } cases[] = {
      {{WENDEX_OCX}, 0, "DllRegisterServer in"},
      {{"/u", WENDEX_OCX}, 0, "DllUnregisterServer in"},
      {{"/s", WENDEX_OCX}, 0, nullptr},
      {{"/s", "/u", WENDEX_OCX}, 0, nullptr},
      {{dir_ + "/missing.ocx"}, 3, "no such file"},
      {{dir_ + "/notes.txt"}, 3, "cannot be loaded"},
      {{"/s", dir_ + "/notes.txt"}, 3, nullptr},
      {{"/lib/x86_64-linux-gnu/libc.so.6"}, 4, "not a control module"},
      {{}, 1, "Usage"},
  };
  for (const auto& c : cases) {
    fs::remove(dir_ + "/boxes.log");
    EXPECT_EQ(RunRegsvr32(c.args), c.exitCode) << *c.args.begin();
    if (c.boxContains) {
      EXPECT_NE(Boxes().find(c.boxContains), std::string::npos) << Boxes();
      EXPECT_EQ(Boxes().rfind("RegSvr32\t", 0), 0u);
    } else {
      EXPECT_EQ(Boxes(), "");
    }
  }
}

TEST_F(RegistrationTest, Regsvr32ReportsARegistryThatCannotBeWritten) {
  MakeRegistryUnwritable();
  EXPECT_EQ(RunRegsvr32({WENDEX_OCX}), 5);
  EXPECT_NE(Boxes().find("0x80040200"), std::string::npos) << Boxes();
  // A bare file name is looked for in the current directory.
  fs::copy_file(WENDEX_OCX, dir_ + "/Wendex.ocx");
  setenv("VELMORA_REGISTRY", (dir_ + "/registry").c_str(), 1);
  std::string cmd = "cd '" + dir_ + "' && " + REGSVR32 + " /s Wendex.ocx";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(registry::GetValue(std::string("HKEY_CLASSES_ROOT\\CLSID\\") + kCtrlClsid + "\\InprocServer32"),
            fs::canonical(dir_ + "/Wendex.ocx").string());
}

}  // namespace
