#include "platform/msgbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(MsgboxTest, LogFileGetsOneLinePerBoxFromManyThreads) {
  std::string path = testing::TempDir() + "msgbox_test.log";
  std::filesystem::remove(path);
  setenv("VELMORA_MSGBOX_LOG", path.c_str(), 1);
  EXPECT_EQ(msgbox::Show("YICHANG", "\xE7\xA8\x8B\xE5\xBA\x8F"), msgbox::IDOK);
  EXPECT_EQ(msgbox::ShowAnsi("cap", "\xB7\xBF"), msgbox::IDOK);  // GBK text, logged as UTF-8
  msgbox::Show("two", "line1\nline2");
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([] {
      for (int j = 0; j < 50; ++j) msgbox::Show("t", std::string(300, 'x'));
    });
  for (auto& t : threads) t.join();
  unsetenv("VELMORA_MSGBOX_LOG");

  std::istringstream lines(ReadFile(path));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "YICHANG\t\xE7\xA8\x8B\xE5\xBA\x8F");
  std::getline(lines, line);
  EXPECT_EQ(line, "cap\t\xE6\x88\xBF");
  std::getline(lines, line);
  EXPECT_EQ(line, "two\tline1\\nline2");
  int whole = 0;
  while (std::getline(lines, line)) whole += line == "t\t" + std::string(300, 'x');
  EXPECT_EQ(whole, 200);
}

TEST(MsgboxTest, InstalledProviderIsUsedWithoutLogFile) {
  struct Recorder : msgbox::Provider {
    std::string* seen;
    explicit Recorder(std::string* s) : seen(s) {}
    int Show(std::string_view c, std::string_view t, unsigned) override {
      *seen = std::string(c) + "|" + std::string(t);
      return msgbox::IDCANCEL;
    }
  };
  std::string seen;
  msgbox::SetProvider(std::make_unique<Recorder>(&seen));
  EXPECT_EQ(msgbox::Show("c", "t"), msgbox::IDCANCEL);
  EXPECT_EQ(seen, "c|t");
  msgbox::SetProvider(nullptr);
}

}  // namespace
