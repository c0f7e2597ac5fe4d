// The saved-login file: the rewrite's text rules as a table, then the file
// itself under concurrent rewriters and a writer killed mid-write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "client/UserDb.h"
#include "platform/jsontext.h"

namespace {

namespace fs = std::filesystem;
using velmora::RewriteUserDbFile;
using velmora::RewriteUserDbText;

// Texts in the test are GBK bytes (the default code page) unless ASCII.
#define ZHANG "\xD5\xC5\xC8\xFD"  // 张三 in GBK

struct TextCase {
  const char* name;
  std::string file;
  bool autoLogin;
  std::optional<std::string> expected;  // nullopt: left untouched
};

const std::string kEmptyLists = "\"UserList\":[],\"RecSecretList\":[]}";
std::string Head(const char* user, const char* com, int type, const char* autoUser, int isAuto) {
  return std::string("{\"RecentKey\":{\"RecentUser\":\"") + user + "\",\"RecentComUser\":\"" + com +
         "\",\"RecentUserType\":" + std::to_string(type) + "},\"AutoLoginKey\":{\"AutoLogin\":\"" + autoUser +
         "\",\"AutoLoginKey\":" + std::to_string(type) + "},\"IsAuto\":" + std::to_string(isAuto) + ",";
}

const TextCase kTextCases[] = {
    {"PrettyPrintedOverSeveralLinesBecomesOneLine",
     "{\r\n  \"RecentKey\" : {\n    \"RecentUser\" : \"amy\",\n    \"RecentComUser\" : \"co\",\n"
     "    \"RecentUserType\" : 0\n  },\n  \"AutoLoginKey\" : { \"AutoLogin\" : \"amy\", \"AutoLoginKey\" : 0 },\n"
     "  \"IsAuto\" : 0,\n  \"UserList\" : [ { \"UserName\" : \"amy\", \"UserType\" : 0 } ]\n}\n",
     true, Head("amy", "co", 0, "amy", 1) + "\"UserList\":[{\"UserName\":\"amy\",\"UserType\":0}],\"RecSecretList\":[]}"},
    {"UsersAreGroupedByTypeInFileOrder",
     R"({"UserList":[{"UserName":"bob","UserType":1},{"UserName":"carol","UserType":0},{"UserName":"dave","UserType":1}],)"
     R"("RecSecretList":[{"RecSecretUser":"x","RecSecretType":3},{"RecSecretUser":"y","RecSecretType":0}]})",
     false,
     Head("", "", 0, "", 0) +
         R"("UserList":[{"UserName":"carol","UserType":0},{"UserName":"bob","UserType":1},{"UserName":"dave","UserType":1}],)"
         R"("RecSecretList":[{"RecSecretUser":"y","RecSecretType":0},{"RecSecretUser":"x","RecSecretType":1}]})"},
    {"TypeTwoBecomesOneAndAutoLoginKeyFollowsRecentType",
     R"({"RecentKey":{"RecentUser":"u","RecentUserType":2},"AutoLoginKey":{"AutoLogin":"a","AutoLoginKey":0},"IsAuto":1,)"
     R"("UserList":[{"UserName":"u","UserType":2}]})",
     false, Head("u", "", 1, "a", 0) + R"("UserList":[{"UserName":"u","UserType":1}],"RecSecretList":[]})"},
    {"UnknownMembersGoAndMissingOnesAreEmpty",
     R"({"Extra":"gone","IsAuto":1,"Nested":{"a":[1,2]}})", true, Head("", "", 0, "", 1) + kEmptyLists},
    {"WrongTypesReadAsEmptyOrZero",
     R"({"RecentKey":{"RecentUser":5,"RecentUserType":"1"},"AutoLoginKey":[],"UserList":{"UserName":"x"},)"
     R"("RecSecretList":[7,{"RecSecretType":1}]})",
     false, Head("", "", 0, "", 0) + R"("UserList":[],"RecSecretList":[{"RecSecretUser":"","RecSecretType":1}]})"},
    {"EscapesWhatJsonRequiresAndKeepsCodePageBytes",
     R"({"RecentKey":{"RecentUser":"a\"b\\c\/d\n\t\u0001"},"UserList":[{"UserName":")" ZHANG R"(","UserType":0}]})",
     false,
     Head("a\\\"b\\\\c/d\\n\\t\\u0001", "", 0, "", 0) + "\"UserList\":[{\"UserName\":\"" ZHANG
                                                         "\",\"UserType\":0}],\"RecSecretList\":[]}"},
    {"AnEscapedCharacterComesBackInTheCodePage",
     R"({"RecentKey":{"RecentUser":"\u5f20\u4e09"}})", false, Head(ZHANG, "", 0, "", 0) + kEmptyLists},
    {"ACharacterTheCodePageLacksStaysEscaped",
     R"({"RecentKey":{"RecentUser":"\ud55c\ud83d\ude00!"}})", false,
     Head("\\ud55c\\ud83d\\ude00!", "", 0, "", 0) + kEmptyLists},
    {"CommentsAreAllowed", "/* saved */ {\"IsAuto\":0 /* off */}", true, Head("", "", 0, "", 1) + kEmptyLists},
    {"EmptyFileIsUntouched", "", true, std::nullopt},
    {"MalformedJsonIsUntouched", "{\"IsAuto\":", true, std::nullopt},
    {"TopLevelArrayIsUntouched", "[1,2]", true, std::nullopt},
    {"TextInvalidInTheCodePageIsUntouched", "{\"RecentKey\":{\"RecentUser\":\"\xFF\xFF\"}}", true, std::nullopt},
    {"LoneSurrogateEscapeIsUntouched", R"({"RecentKey":{"RecentUser":"\ud800"}})", true, std::nullopt},
};

class RewriteText : public ::testing::TestWithParam<TextCase> {};

TEST_P(RewriteText, GivesTheOneLineLayoutOrLeavesTheFile) {
  const TextCase& c = GetParam();
  std::optional<std::string> out = RewriteUserDbText(c.file, c.autoLogin);
  ASSERT_EQ(out.has_value(), c.expected.has_value()) << out.value_or("<untouched>");
  if (!out) return;
  EXPECT_EQ(*out, *c.expected);
  // What the rewrite writes reads back to itself.
  EXPECT_EQ(RewriteUserDbText(*out, c.autoLogin), out);
}

INSTANTIATE_TEST_SUITE_P(UserDb, RewriteText, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The file ------------------------------------------------------------------

class UserDbFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("userdb-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    path_ = (dir_ / velmora::kUserDbName).string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // A file of many users, so that writing it takes a while.
  static std::string ManyUsers(int n) {
    std::string s = "{\"UserList\":[";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::string("{\"UserName\":\"user") + std::to_string(i) +
                                     "\",\"UserType\":" + std::to_string(i % 2) + "}";
    return s + "]}";
  }
  // The file holds a rewrite of the many users (either flag).
  void ExpectWhole(int users) {
    std::string text = Read(path_);
    Json::Value v;
    ASSERT_TRUE(jsontext::ParseJson(text, &v)) << "torn or empty: " << text.size() << " bytes";
    ASSERT_TRUE(v.isObject());
    EXPECT_EQ(v["UserList"].size(), static_cast<unsigned>(users));
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(UserDbFile, MissingFileIsCreatedEmptyAndBadFilesStayAsTheyWere) {
  EXPECT_FALSE(RewriteUserDbFile(path_, true));
  EXPECT_TRUE(fs::exists(path_));
  EXPECT_EQ(Read(path_), "");
  Write(path_, "{broken");
  EXPECT_FALSE(RewriteUserDbFile(path_, true));
  EXPECT_EQ(Read(path_), "{broken");
  Write(path_, "{\"IsAuto\":0}\n");
  EXPECT_TRUE(RewriteUserDbFile(path_, true));
  EXPECT_EQ(Read(path_), "{\"RecentKey\":{\"RecentUser\":\"\",\"RecentComUser\":\"\",\"RecentUserType\":0},"
                         "\"AutoLoginKey\":{\"AutoLogin\":\"\",\"AutoLoginKey\":0},\"IsAuto\":1,"
                         "\"UserList\":[],\"RecSecretList\":[]}");
  // A folder that cannot be written: nothing happens.
  EXPECT_FALSE(RewriteUserDbFile((dir_ / "no-such-folder" / "user.db").string(), true));
}

TEST_F(UserDbFile, ConcurrentRewritersNeverLeaveATornFile) {
  constexpr int kUsers = 3000, kWriters = 10, kRounds = 20;
  Write(path_, ManyUsers(kUsers));
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int r = 0; r < kRounds; ++r) ok = RewriteUserDbFile(path_, (w + r) % 2 == 0) && ok;
      _exit(ok ? 0 : 1);
    }
    writers.push_back(pid);
  }
  // Meanwhile, whoever reads the file finds a whole one every time.
  int pending = kWriters;
  while (pending > 0) {
    ExpectWhole(kUsers);
    for (pid_t& pid : writers) {
      int status = 0;
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
        pid = -1;
        --pending;
      }
    }
  }
  ExpectWhole(kUsers);
  EXPECT_FALSE(fs::exists(path_ + ".new"));
}

TEST_F(UserDbFile, AWriterKilledMidWriteLeavesTheOldOrTheNewFile) {
  constexpr int kUsers = 20000, kKills = 25;
  Write(path_, ManyUsers(kUsers));
  std::mt19937 random(42);
  for (int k = 0; k < kKills; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (;;) RewriteUserDbFile(path_, true);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 30000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ExpectWhole(kUsers);
  }
  // The next rewrite goes through, whatever the killed writers left.
  EXPECT_TRUE(RewriteUserDbFile(path_, false));
  ExpectWhole(kUsers);
}

}  // namespace
