// The files of file inputs against a real local server: downloads and their
// bounds, the names they are stored under, one download per address, and
// the control's folder.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "control/automation/FileSources.h"
#include "tests/support/LocalServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Failure = CFileSources::Failure;

// Small bounds, so that the cases past them stay quick.
constexpr CFileSources::Limits kLimits{1000, std::chrono::milliseconds(1000)};

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class FileSourcesTest : public testing::Test {
 protected:
  void SetUp() override {
    auto& s = local_.server;
    s.Get(R"(/dl/plain/.*)", [this](const httplib::Request&, httplib::Response& r) {
      ++hits_;
      r.set_content("plain bytes\r\n\0x", 15, "image/png");
    });
    // Content-Disposition headers, by number.
    s.Get(R"(/dl/named/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
      static const char* kDisposition[] = {
          "attachment; filename=\"room 1.jpg\"",
          "attachment; filename=\"../../up.jpg\"",
          "attachment; filename=\"x.jpg\"; filename*=UTF-8''%E6%88%BF.jpg",
      };
      r.set_header("Content-Disposition", kDisposition[std::stoi(q.matches[1]) % 3]);
      r.set_content("named", "image/jpeg");
    });
    s.Get("/dl/moved", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/dl/plain/target.png", 302); });
    s.Get("/dl/missing", [](const httplib::Request&, httplib::Response& r) { r.status = 404; r.set_content("no", "text/plain"); });
    s.Get("/dl/big", [](const httplib::Request&, httplib::Response& r) { r.set_content(std::string(1001, 'b'), "image/png"); });
    s.Get("/dl/exact", [](const httplib::Request&, httplib::Response& r) { r.set_content(std::string(1000, 'e'), "image/png"); });
    // No length announced: the limit is found while reading.
    s.Get("/dl/endless", [](const httplib::Request&, httplib::Response& r) {
      r.set_chunked_content_provider("image/png", [](std::size_t, httplib::DataSink& sink) {
        return sink.write(std::string(300, 'x').data(), 300);
      });
    });
    // A byte now and then: no read ever waits long, the whole takes for ever.
    s.Get("/dl/trickle", [](const httplib::Request&, httplib::Response& r) {
      r.set_chunked_content_provider("image/png", [](std::size_t offset, httplib::DataSink& sink) {
        std::this_thread::sleep_for(100ms);
        return offset < 100 && sink.write("t", 1);
      });
    });
    s.Get("/dl/silent", [](const httplib::Request&, httplib::Response& r) {
      std::this_thread::sleep_for(2500ms);
      r.set_content("late", "image/png");
    });
    // Kept connections end soon, so that stopping the server does not wait for them.
    s.set_keep_alive_timeout(1);
    ASSERT_TRUE(local_.Start());
    dir_ = fs::temp_directory_path() / ("filesources-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "local.jpg", std::ios::binary) << "local";
  }
  void TearDown() override {
    local_.Stop();
    fs::remove_all(dir_);
  }

  support::LocalServer local_;
  std::atomic<int> hits_{0};
  fs::path dir_;
};

TEST_F(FileSourcesTest, EachKindOfSource) {
  struct Case {
    std::string what, source;
    Failure failure;
    std::string name, bytes;  // of a source that was had
  };
  const std::string local = (dir_ / "local.jpg").string();
  const std::vector<Case> cases = {
      {"an address", local_.Url("/dl/plain/photo%20one.png?size=2#top"), Failure::None, "photo one.png",
       std::string("plain bytes\r\n\0x", 15)},
      {"a redirect is followed", local_.Url("/dl/moved"), Failure::None, "moved", std::string("plain bytes\r\n\0x", 15)},
      {"the name the response gives", local_.Url("/dl/named/0"),
       Failure::None, "room 1.jpg", "named"},
      {"no folders from the response's name", local_.Url("/dl/named/1"),
       Failure::None, "up.jpg", "named"},
      {"a UTF-8 name comes before the plain one",
       local_.Url("/dl/named/2"),
       Failure::None, "\xE6\x88\xBF.jpg", "named"},
      {"exactly the limit", local_.Url("/dl/exact"), Failure::None, "exact", std::string(1000, 'e')},
      {"an absolute path", local, Failure::None, "local.jpg", "local"},
      {"an HTTP error", local_.Url("/dl/missing"), Failure::HttpError, "", ""},
      {"a length beyond the limit", local_.Url("/dl/big"), Failure::TooLarge, "", ""},
      {"a body that grows beyond the limit", local_.Url("/dl/endless"), Failure::TooLarge, "", ""},
      {"a response that never comes", local_.Url("/dl/silent"), Failure::TimedOut, "", ""},
      {"a body that trickles for ever", local_.Url("/dl/trickle"), Failure::TimedOut, "", ""},
      {"nobody listens", "http://127.0.0.1:1/x.png", Failure::Unreachable, "", ""},
      {"no such file", (dir_ / "none.jpg").string(), Failure::NoFile, "", ""},
      {"a folder", dir_.string(), Failure::NoFile, "", ""},
      {"another scheme", "file://" + local, Failure::Refused, "", ""},
      {"a relative path", "local.jpg", Failure::Refused, "", ""},
      {"an empty source", "", Failure::Refused, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CFileSources sources(kLimits);
    std::vector<std::string> paths;
    Failure failure = Failure::None;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sources.Resolve(c.source, &paths, &failure), c.failure == Failure::None);
    EXPECT_EQ(failure, c.failure);
    // Only catches a bound that does not hold at all.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    if (c.failure != Failure::None) {
      EXPECT_TRUE(paths.empty());
      continue;
    }
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(fs::path(paths[0]).filename().string(), c.name);
    EXPECT_EQ(Read(paths[0]), c.bytes);
  }
}

TEST_F(FileSourcesTest, AddressDownloadedOnceIntoAPrivateFolderThatGoesWithTheObject) {
  const std::string a = local_.Url("/dl/plain/a.png"), b = local_.Url("/dl/plain/sub/a.png");
  const std::string local = (dir_ / "local.jpg").string();
  std::string folder;
  std::vector<std::string> first, second, failed;
  {
    CFileSources sources(kLimits);
    EXPECT_EQ(sources.folder(), "");
    // Two addresses of the same file name, one of them twice, and a path, in order.
    ASSERT_TRUE(sources.Resolve(a + "|" + local + "|" + b + "|" + a, &first));
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[1], local);
    EXPECT_EQ(first[0], first[3]);
    EXPECT_NE(first[0], first[2]);
    EXPECT_EQ(fs::path(first[2]).filename(), "a.png");
    EXPECT_EQ(hits_, 2);
    // A later fill takes what was downloaded.
    ASSERT_TRUE(sources.Resolve(b, &second));
    EXPECT_EQ(second, std::vector<std::string>{first[2]});
    EXPECT_EQ(hits_, 2);
    // One failing source: nothing at all.
    EXPECT_FALSE(sources.Resolve(a + "|" + local_.Url("/dl/missing"), &failed));
    EXPECT_TRUE(failed.empty());
    // The user's alone.
    folder = sources.folder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(fs::path(first[0]).parent_path().parent_path().string(), folder);
    EXPECT_EQ(Mode(folder), 0700);
    EXPECT_EQ(Mode(first[0]), 0600);
  }
  EXPECT_FALSE(fs::exists(folder));
  // The local file is never touched.
  EXPECT_EQ(Read(local), "local");
}

// What is kept stays within its bound: the least recently used download
// goes, never one of the fill at hand, and is downloaded again when named.
TEST_F(FileSourcesTest, KeepsTheRecentlyUsedWithinItsBound) {
  CFileSources::Limits limits = kLimits;
  limits.keepBytes = 40;  // two files of 15 bytes, not three
  CFileSources sources(limits);
  auto url = [&](const char* name) { return local_.Url(std::string("/dl/plain/") + name); };
  std::map<std::string, std::string> path;
  auto resolve = [&](std::vector<const char*> names) {
    std::string value;
    for (const char* n : names) value += (value.empty() ? "" : "|") + url(n);
    std::vector<std::string> paths;
    EXPECT_TRUE(sources.Resolve(value, &paths)) << value;
    for (std::size_t i = 0; i < paths.size() && i < names.size(); ++i) path[names[i]] = paths[i];
  };
  resolve({"a.png"});
  resolve({"b.png"});
  resolve({"a.png"});  // a is used again: b is now the oldest
  resolve({"c.png"});
  EXPECT_EQ(hits_, 3);
  EXPECT_TRUE(fs::exists(path["a.png"]));
  EXPECT_FALSE(fs::exists(path["b.png"]));
  EXPECT_FALSE(fs::exists(fs::path(path["b.png"]).parent_path()));
  EXPECT_TRUE(fs::exists(path["c.png"]));
  resolve({"b.png"});
  EXPECT_EQ(hits_, 4);
  // One fill beyond the bound keeps all of its files.
  resolve({"d.png", "e.png", "f.png"});
  for (const char* n : {"d.png", "e.png", "f.png"}) EXPECT_TRUE(fs::exists(path[n])) << n;
  for (const char* n : {"a.png", "b.png", "c.png"}) EXPECT_FALSE(fs::exists(path[n])) << n;
}

TEST(DownloadFileName, FromTheResponseElseTheAddress) {
  struct Case {
    std::string address, headers, name;
  };
  const std::vector<Case> cases = {
      {"http://h/a/b/c.png", "", "c.png"},
      {"http://h/a/%E6%88%BF.png?x=1", "", "\xE6\x88\xBF.png"},
      {"http://h/", "", "file"},
      {"http://h", "", "file"},
      {"http://h/..", "", "file"},
      {"http://h/a%2F..%2Fb.png", "", "b.png"},
      {"http://h/x%01y.png", "", "xy.png"},
      {"http://h/x.png", "HTTP/1.1 200 OK\r\ncontent-disposition: inline; filename=\"C:\\\\d\\\\y.png\"\r\n\r\n", "y.png"},
      {"http://h/x.png", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment\r\n\r\n", "x.png"},
      {"http://h/x.png", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=z.gif\r\n\r\n", "z.gif"},
      {"http://h/" + std::string(300, 'n'), "", std::string(200, 'n')},
  };
  for (const Case& c : cases) EXPECT_EQ(DownloadFileName(c.address, c.headers), c.name) << c.address << " " << c.headers;
}

}  // namespace
