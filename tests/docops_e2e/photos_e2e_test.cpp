// End to end: a hosting page in wendex-host has the control fill file
// inputs of a real local server's form from local files and from addresses
// the control downloads, and submit it; the server compares every byte it
// receives with the files. The control's download folder lives in the
// temporary folder the test gives (TMPDIR) and must be gone with the control.
//
// The cross-site frame comes from "localhost" while its page comes from
// 127.0.0.1 (in the browser's default set-up, in the page's process).
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "tests/docops_e2e/hosted_pages.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/LocalServer.h"

namespace {

using namespace e2e;

constexpr std::size_t kTooLarge = (20u << 20) + 1;

std::string Bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

// A checksum of a file's bytes (64-bit FNV-1a), in hex.
std::string Checksum(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

bool HasDownloadFolder(const fs::path& tmp) {
  for (const auto& e : fs::directory_iterator(tmp))
    if (e.path().filename().string().rfind("velmora-files-", 0) == 0) return true;
  return false;
}

class PhotosE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PrepareControl("photos-e2e", &work_));
    tmp_ = work_ / "tmp";
    fs::create_directories(tmp_);
    files_ = {{"a.jpg", Bytes(150000, 1)}, {"b.jpg", Bytes(64000, 2)}, {"c.png", Bytes(300000, 3)}};
    for (const auto& [name, bytes] : files_)
      if (name != "c.png") std::ofstream(work_ / name, std::ios::binary) << bytes;

    ServeHostedPages(server_, &hostPage_, [this](const std::string& line) { Record(line); });
    server_.Get("/photo/c.png", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(files_["c.png"], "image/png");
    });
    server_.Get("/photo/missing.png", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such photo", "text/plain");
    });
    server_.Get("/photo/big.png", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(kTooLarge, 'x'), "image/png");
    });
    // What a submission carried: its text fields, then each file (by field
    // name, in the order each field's files came) as field, name and whether
    // its bytes are those of the file of that name.
    server_.Post("/upload", [this](const httplib::Request& req, httplib::Response& res) {
      std::string line = "upload";
      for (const char* field : {"w", "title"}) line += " " + (req.has_file(field) ? req.get_file_value(field).content : "?");
      for (const auto& [field, part] : req.files) {
        if (part.filename.empty()) continue;
        auto known = files_.find(part.filename);
        bool same = known != files_.end() && Checksum(known->second) == Checksum(part.content);
        line += " " + field + ":" + part.filename + (same ? "" : ":DIFFERENT");
      }
      // The control's downloads are there while it lives.
      line += HasDownloadFolder(tmp_) ? " folder" : " nofolder";
      Record(line);
      ++uploads_;
      res.set_content("<!DOCTYPE html><html><body>uploaded</body></html>", "text/html");
    });
    server_.Get("/uploads", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::to_string(uploads_.load()), "text/plain");
    });
    ASSERT_TRUE(local_.Start());
    setenv("VELMORA_SERVICE", local_.Url("").c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
  }
  void TearDown() override {
    local_.Stop();
    unsetenv("VELMORA_SERVICE");
    unsetenv("TMPDIR");
    fs::remove_all(work_);
  }

  void Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    records_.push_back(line);
  }

  fs::path work_, tmp_;
  std::map<std::string, std::string> files_;
  support::LocalServer local_;
  httplib::Server& server_ = local_.server;
  std::string hostPage_;
  std::mutex mutex_;
  std::vector<std::string> records_;
  std::atomic<int> uploads_{0};
};

TEST_F(PhotosE2E, FileInputsFilledFromFilesAndAddressesReachTheSiteByteForByte) {
  const std::string a = (work_ / "a.jpg").string(), b = (work_ / "b.jpg").string();
  const std::string c = local_.Url("/photo/c.png");
  struct Case {
    std::string label, page, values;
    std::vector<std::string> expected;  // after "host case LABEL", in any order
  };
  const std::vector<Case> cases = {
      {"local files and an address", "photos.html", "title=flat&one=" + a + "|" + b + "&many=" + b + "|" + c,
       {"host 0", "change top one a.jpg", "change top many b.jpg,c.png",
        "upload top flat many:b.jpg many:c.png one:a.jpg folder"}},
      {"a missing file", "photos.html", "one=" + work_.string() + "/none.jpg|" + a + "&title=t2&many=" + a,
       {"host 40", "change top many a.jpg", "upload top t2 many:a.jpg folder"}},
      {"an address that answers 404", "photos.html", "many=" + local_.Url("/photo/missing.png") + "&title=t3&one=" + c,
       {"host 40", "change top one c.png", "upload top t3 one:c.png folder"}},
      {"an address too large", "photos.html", "many=" + local_.Url("/photo/big.png") + "|" + a + "&title=t4",
       {"host 40", "upload top t4 folder"}},
      // Only the frame has the form: the top's own outcome (no such form) is the result.
      {"a form in a frame of another site", "photos.html?frame", "title=fr&one=" + c + "&many=" + a + "|" + b,
       {"host 11", "change X one c.png", "change X many a.jpg,b.jpg", "upload X fr many:a.jpg many:b.jpg one:c.png folder"}},
  };
  std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n"
                     "<script src=\"/driver.js\"></script>\n<script>\n"
                     "function uploads() { var x = new XMLHttpRequest(); x.open('GET', '/uploads', false); x.send(); "
                     "return Number(x.responseText); }\n"
                     "step(welcome);\n";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& k = cases[i];
    page += "step(function() { log('case " + k.label + "'); });\n";
    page += "step(function() { load('" + k.page + "'); });\n";
    page += "step(function() { log(c.FFillFormS('p', '" + k.values + "', '')); });\n";
    page += "step(function() { until('sent', function() { return uploads() >= " + std::to_string(i + 1) + "; }, 60000); });\n";
  }
  page += "next();\n</script>\n</body></html>\n";
  hostPage_ = page;

  Outcome run = RunProgram({VELMORA_WENDEX_HOST, "--timeout", "150", local_.Url("/host.html")});
  ASSERT_EQ(run.exitCode, 0) << run.Text();
  EXPECT_EQ(ReadFile(work_ / "boxes"), "");
  // The downloads went with the control.
  EXPECT_FALSE(HasDownloadFolder(tmp_));

  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& r : records_) all += r + "\n";
  for (const Case& k : cases) {
    auto begin = std::find(records_.begin(), records_.end(), "host case " + k.label);
    ASSERT_NE(begin, records_.end()) << k.label << "\n" << all;
    auto end = std::find_if(begin + 1, records_.end(), [](const std::string& r) { return r.rfind("host case ", 0) == 0; });
    std::vector<std::string> got(begin + 1, end), expected = k.expected;
    got.erase(std::remove_if(got.begin(), got.end(), [](const std::string& r) { return r == "host loaded"; }), got.end());
    expected.push_back("host sent yes");
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << "case: " << k.label << "\n" << all;
  }
}

}  // namespace
