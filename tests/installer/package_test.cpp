// The Debian package, built from this build tree as scripts/package builds
// it: lintian finds no error in it, its fields name the build's version and
// the libraries its binaries need plus the browser; unpacked into a folder
// of its own, its installer registers its own control, and a page in its own
// window program creates that control, whose browser reports the page it
// loaded through "callback_1". Nothing is installed on the machine.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/installer/installer_support.h"

namespace {

using namespace installer_test;
using namespace std::chrono_literals;

// What the package holds in its programs' folder, and in its documents' folder.
constexpr const char* kProgramsAndModules[] = {"vlmOcxset",   "regsvr32",   "velmoraClient",
                                               "wendex-host", "Wendex.ocx", "libvelmora-host.so"};
constexpr const char* kDocuments[] = {"README.md", "copyright", "changelog.gz"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
  for (const auto& l : Lines(text))
    if (l == line) return true;
  return false;
}

class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BecomeSubreaper());
    work_ = fs::temp_directory_path() / ("velmora-package-" + std::to_string(getpid()));
    fs::remove_all(work_);
    fs::create_directories(work_);
  }
  void TearDown() override {
    EndLeftBehind();
    server_.stop();
    if (serverThread_.joinable()) serverThread_.join();
    fs::remove_all(work_);
  }
  Outcome Exec(std::vector<std::string> argv, const std::string& log, std::chrono::seconds limit = 60s) {
    return Start(std::move(argv), work_, self_, work_ / log, limit);
  }

  fs::path work_;
  const User self_{geteuid(), getegid()};
  httplib::Server server_;
  std::thread serverThread_;
};

TEST_F(PackageTest, BuildsWithoutLintianErrorsAndItsUnpackedProgramsWork) {
  // 1. The package, into a folder of the test's own.
  Outcome built = Exec({CPACK, "-G", "DEB", "--config", CPACK_CONFIG, "-B", work_ / "out"}, "cpack.log", 300s);
  ASSERT_EQ(built.exitCode, 0) << built.output;
  const fs::path deb = work_ / "out" / ("velmora_" VELMORA_VERSION "_amd64.deb");
  ASSERT_TRUE(fs::is_regular_file(deb)) << built.output;

  // 2. lintian: no error.
  Outcome lint = Exec({LINTIAN, "--fail-on", "error", "--tag-display-limit", "0", deb}, "lintian.log", 300s);
  EXPECT_EQ(lint.exitCode, 0) << lint.output;
  for (const auto& line : Lines(lint.output)) EXPECT_NE(line.rfind("E: ", 0), 0u) << line;

  // 3. Its version is the build's; its dependencies are read from its
  //    binaries, plus the browser the control drives.
  Outcome fields = Exec({DPKG_DEB, "--field", deb, "Version", "Depends"}, "fields.log");
  ASSERT_EQ(fields.exitCode, 0) << fields.output;
  EXPECT_TRUE(HasLine(fields.output, "Version: " VELMORA_VERSION)) << fields.output;
  for (const char* dependency : {"chromium", "libc6 (", "libwebkit2gtk-4.1-0 (", "libjsoncpp25 ("})
    EXPECT_NE(fields.output.find(dependency), std::string::npos) << dependency << " in " << fields.output;

  // 4. Unpacked: every program and module in one folder, the documents in theirs.
  const fs::path root = work_ / "root";
  ASSERT_EQ(Exec({DPKG_DEB, "-x", deb, root}, "unpack.log").exitCode, 0);
  const fs::path programs = root / "usr/lib/velmora";
  for (const char* file : kProgramsAndModules) EXPECT_TRUE(fs::is_regular_file(programs / file)) << file;
  for (const char* file : kDocuments) EXPECT_TRUE(fs::is_regular_file(root / "usr/share/doc/velmora" / file)) << file;
#ifdef VELMORA_HAS_CLIENT
  EXPECT_EQ(fs::canonical(root / "usr/bin/velmora"), fs::canonical(programs / "Velmora"));
#endif

  // 5. Its installer, started elsewhere, registers its own control (here in
  //    a registry of the test's own).
  unsetenv("VELMORA_HOST_EXTENSION_DIR");
  unsetenv("VELMORA_MACHINE_REGISTRY");
  setenv("VELMORA_REGISTRY", (work_ / "registry").c_str(), 1);
  setenv("VELMORA_MSGBOX_LOG", (work_ / "boxes").c_str(), 1);
  setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
  Outcome registered = Start({programs / "vlmOcxset"}, "/", self_, work_ / "vlmOcxset.log");
  EXPECT_EQ(registered.exitCode, 0);
  EXPECT_EQ(registered.leftBehind, std::vector<int>{0}) << "regsvr32's exit code";
  ASSERT_EQ(RegisteredControl(), fs::canonical(programs / "Wendex.ocx").string());

  // 6. A page in its window program (which loads its own extension) creates
  //    that control; the control's browser loads a page and calls back.
  const fs::path screenshot = fs::path(SCREENSHOT_DIR) / "package-window.png";
  server_.set_mount_point("/", PAGES);
  server_.Get("/screenshot", [&](const httplib::Request&, httplib::Response& res) {
    const std::string command = std::string(IMPORT) + " -window root -depth 8 '" + screenshot.string() + "'";
    res.set_content(std::system(command.c_str()) == 0 ? "taken" : "failed", "text/plain");
  });
  const int port = server_.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  serverThread_ = std::thread([this] { server_.listen_after_bind(); });
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  setenv("VELMORA_SERVICE", origin.c_str(), 1);

  Outcome page = Start({programs / "wendex-host", "--timeout", "120", origin + "/host.html"}, "/", self_,
                       work_ / "host.log", 0s);
  EXPECT_EQ(page.exitCode, 0) << page.output;
  EXPECT_TRUE(HasLine(page.output, "created: yes")) << page.output;
  EXPECT_TRUE(HasLine(page.output, "FSetSrc: 99")) << page.output;
  EXPECT_TRUE(HasLine(page.output, "callback_1: listing " + origin + "/listing.html")) << page.output;
  EXPECT_EQ(ReadFile(work_ / "boxes"), "");
  std::cout << "screenshot of the window: " << screenshot.string() << "\n";
}

}  // namespace
