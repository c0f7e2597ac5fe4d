// The installer and the registries it writes: vlmOcxset started from
// anywhere registers the control beside it; root registers for the machine,
// anyone else for themselves; look-ups read the user's registration first,
// then the machine's; unregistration touches only the registry it writes;
// a registration that cannot be written leaves nothing behind.
//
// Run as root, the user's steps run as "nobody"; run as anyone else, as that
// user (and the machine-wide registration is then prepared without root).
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/installer/installer_support.h"

namespace {

using namespace installer_test;

// Where the programs and the control sit: together (installed) or in
// bin/ and lib/ (a build tree).
enum class Layout { Flat, BuildTree };

// Every value below HKEY_CLASSES_ROOT of one registry folder, one line each.
void DumpKey(const std::string& key, std::vector<std::string>* out) {
  for (const auto& [name, value] : registry::Values(key)) out->push_back(key + "\t" + name + "\t" + value);
  for (const auto& sub : registry::SubKeys(key)) DumpKey(key + "\\" + sub, out);
}
std::vector<std::string> Dump(const fs::path& folder) {
  const char* was = getenv("VELMORA_REGISTRY");
  const std::string saved = was ? was : "";
  setenv("VELMORA_REGISTRY", folder.c_str(), 1);
  std::vector<std::string> lines;
  DumpKey("HKEY_CLASSES_ROOT", &lines);
  if (saved.empty()) {
    unsetenv("VELMORA_REGISTRY");
  } else {
    setenv("VELMORA_REGISTRY", saved.c_str(), 1);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class InstallerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BecomeSubreaper());
    dir_ = fs::path(testing::TempDir()) / ("installer_" + std::to_string(getpid()) + "_" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::permissions(dir_, fs::perms::all);  // the user's steps may run as another user
    for (const char* name : {"VELMORA_REGISTRY", "VELMORA_MACHINE_REGISTRY", "XDG_CONFIG_HOME"}) unsetenv(name);
    setenv("VELMORA_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (!nobody) GTEST_SKIP() << "no user 'nobody' to run the user's steps as";
      user_ = {nobody->pw_uid, nobody->pw_gid};
    } else {
      user_ = {getuid(), getgid()};
    }
  }
  void TearDown() override {
    for (const char* name : {"VELMORA_REGISTRY", "VELMORA_MACHINE_REGISTRY", "XDG_CONFIG_HOME", "VELMORA_MSGBOX_LOG"})
      unsetenv(name);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir_, ec); it != fs::recursive_directory_iterator(); ++it)
      if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  // A copy of the installer, the registration tool and the control in a
  // folder of their own; the path of its control.
  fs::path Install(const std::string& name, Layout layout) {
    const fs::path root = dir_ / name;
    const fs::path bin = layout == Layout::Flat ? root : root / "bin";
    const fs::path lib = layout == Layout::Flat ? root : root / "lib";
    fs::create_directories(bin);
    fs::create_directories(lib);
    fs::copy_file(VLMOCXSET, bin / "vlmOcxset");
    fs::copy_file(REGSVR32, bin / "regsvr32");
    fs::copy_file(WENDEX_OCX, lib / "Wendex.ocx");
    return lib / "Wendex.ocx";
  }
  fs::path Installer(const fs::path& control) const {
    const fs::path folder = control.parent_path();
    return fs::exists(folder / "vlmOcxset") ? folder / "vlmOcxset" : folder.parent_path() / "bin" / "vlmOcxset";
  }

  // A folder that `who` owns.
  fs::path FolderOf(const std::string& name, User who) {
    const fs::path folder = dir_ / name;
    fs::create_directories(folder);
    if (chown(folder.c_str(), who.uid, who.gid) != 0) ADD_FAILURE() << "chown " << folder;
    return folder;
  }

  Outcome Start(std::vector<std::string> argv, const fs::path& cwd, User who) {
    return installer_test::Start(std::move(argv), cwd, who, dir_ / "output");
  }

  // The control as `who` finds it, in a process of that user.
  std::string LookUpAs(User who) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (setgroups(0, nullptr) == 0 && setresgid(who.gid, who.gid, who.gid) == 0 &&
          setresuid(who.uid, who.uid, who.uid) == 0) {
        std::string found = RegisteredControl();
        if (write(fds[1], found.data(), found.size()) < 0) _exit(1);
      }
      _exit(0);
    }
    close(fds[1]);
    std::string found;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) found.append(buf, n);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return found;
  }

  std::string Boxes() const { return ReadFile(dir_ / "boxes"); }

  fs::path dir_;
  User user_{};
};

TEST_F(InstallerTest, RegistersTheControlBesideItFromAnyWorkingDirectory) {
  // The working directory holds a control of its own, which must not be the one registered.
  const fs::path elsewhere = dir_ / "elsewhere";
  fs::create_directories(elsewhere);
  fs::copy_file(WENDEX_OCX, elsewhere / "Wendex.ocx");
  const User self{geteuid(), getegid()};
  for (Layout layout : {Layout::Flat, Layout::BuildTree}) {
    SCOPED_TRACE(layout == Layout::Flat ? "programs and control in one folder" : "bin/ and lib/");
    const std::string name = layout == Layout::Flat ? "flat" : "tree";
    const fs::path control = Install(name, layout);
    setenv("VELMORA_REGISTRY", (dir_ / ("registry-" + name)).c_str(), 1);

    Outcome run = Start({Installer(control)}, elsewhere, self);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.leftBehind, std::vector<int>{0});  // regsvr32, which succeeded
    EXPECT_EQ(RegisteredControl(), fs::canonical(control).string());
    // Nothing reported: no output, no message box.
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(Boxes(), "");
  }
}

TEST_F(InstallerTest, MachineWideAndUserRegistrations) {
  const bool root = geteuid() == 0;
  const fs::path machineControl = Install("machine", Layout::Flat);
  const fs::path userControl = Install("user", Layout::Flat);
  const fs::path machine = dir_ / "machine-registry";
  const fs::path config = FolderOf("user-config", user_);
  setenv("VELMORA_MACHINE_REGISTRY", machine.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  // 1. The machine-wide registration: root's installer, under a umask that
  //    would hide its files from everyone else.
  if (root) {
    const mode_t was = umask(077);
    Outcome run = Start({Installer(machineControl)}, "/", User{0, 0});
    umask(was);
    ASSERT_EQ(run.leftBehind, std::vector<int>{0}) << run.output;
    EXPECT_FALSE(fs::exists(config / "velmora")) << "root wrote a user's registry";
  } else {
    setenv("VELMORA_REGISTRY", machine.c_str(), 1);
    ASSERT_EQ(Start({REGSVR32, "/s", machineControl}, "/", user_).exitCode, 0);
    unsetenv("VELMORA_REGISTRY");
  }
  const auto machineEntries = Dump(machine);
  ASSERT_FALSE(machineEntries.empty());
  EXPECT_EQ(LookUpAs(user_), fs::canonical(machineControl).string());

  // 2. A user's own registration over it: the user's registry alone is
  //    written, and the user's look-ups find the user's control.
  Outcome run = Start({Installer(userControl)}, "/", user_);
  ASSERT_EQ(run.leftBehind, std::vector<int>{0}) << run.output;
  EXPECT_EQ(Dump(machine), machineEntries);
  EXPECT_EQ(LookUpAs(user_), fs::canonical(userControl).string());

  // 3. The user's unregistration leaves the machine's registration, which
  //    the user's look-ups then find again.
  ASSERT_EQ(Start({REGSVR32, "/s", "/u", userControl}, "/", user_).exitCode, 0);
  EXPECT_EQ(Dump(machine), machineEntries);
  EXPECT_EQ(Dump(config / "velmora/registry"), std::vector<std::string>{});
  EXPECT_EQ(LookUpAs(user_), fs::canonical(machineControl).string());

  // 4. Root's unregistration leaves the user's registration.
  if (root) {
    ASSERT_EQ(Start({Installer(userControl)}, "/", user_).leftBehind, std::vector<int>{0});
    const auto userEntries = Dump(config / "velmora/registry");
    ASSERT_EQ(Start({REGSVR32, "/s", "/u", machineControl}, "/", User{0, 0}).exitCode, 0);
    EXPECT_EQ(Dump(machine), std::vector<std::string>{});
    EXPECT_EQ(Dump(config / "velmora/registry"), userEntries);
    EXPECT_EQ(LookUpAs(user_), fs::canonical(userControl).string());
  }
  EXPECT_EQ(Boxes(), "");
}

TEST_F(InstallerTest, ARegistryThatCannotBeWrittenKeepsNothingOfTheRegistration) {
  const fs::path control = Install("flat", Layout::Flat);
  constexpr int kRegistrationFailed = 5;

  // The user's registry folder cannot be made: its place is a file.
  {
    SCOPED_TRACE("registry folder below a file");
    std::ofstream(dir_ / "config-file") << "not a folder";
    setenv("XDG_CONFIG_HOME", (dir_ / "config-file").c_str(), 1);
    Outcome run = Start({Installer(control)}, "/", user_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.leftBehind, std::vector<int>{kRegistrationFailed});
    EXPECT_TRUE(fs::is_regular_file(dir_ / "config-file"));
    EXPECT_EQ(run.output, "");
  }

  // A key the registration needs cannot be written, after others were: what
  // was written is taken back, and what the registry held before stays.
  {
    SCOPED_TRACE("a key folder that cannot be written");
    const fs::path config = dir_ / "config";
    const fs::path registry = config / "velmora/registry";
    setenv("VELMORA_REGISTRY", registry.c_str(), 1);
    registry::SetValue("HKEY_CLASSES_ROOT\\Other.Control.1\\CLSID", "", "{0C7E55A1-0000-0000-0000-0000000000AA}");
    registry::SetValue("HKEY_CLASSES_ROOT\\CLSID\\{0C7E55A1-0000-0000-0000-0000000000AA}\\InprocServer32", "",
                       "/opt/other/other.ocx");
    unsetenv("VELMORA_REGISTRY");
    const auto before = Dump(registry);
    // The user owns the registry but not its CLSID key.
    for (const auto& entry : fs::recursive_directory_iterator(config))
      ASSERT_EQ(lchown(entry.path().c_str(), user_.uid, user_.gid), 0);
    ASSERT_EQ(chown(config.c_str(), user_.uid, user_.gid), 0);
    if (geteuid() == 0) {
      ASSERT_EQ(chown((registry / "HKEY_CLASSES_ROOT/CLSID").c_str(), 0, 0), 0);
    } else {
      fs::permissions(registry / "HKEY_CLASSES_ROOT/CLSID", fs::perms::owner_read | fs::perms::owner_exec);
    }
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    Outcome run = Start({Installer(control)}, "/", user_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.leftBehind, std::vector<int>{kRegistrationFailed});
    EXPECT_EQ(Dump(registry), before);
    EXPECT_EQ(run.output, "");
  }
  EXPECT_EQ(Boxes(), "");
}

}  // namespace
