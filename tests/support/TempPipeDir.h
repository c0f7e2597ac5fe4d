// A fresh pipe folder for one test, named in VELMORA_PIPE_DIR while the
// object lives, and removed at the end.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/ScopedEnv.h"

namespace support {

class TempPipeDir {
 public:
  TempPipeDir() : env_("VELMORA_PIPE_DIR") {
    std::string tmpl = testing::TempDir() + "velmora-pipe-XXXXXX";
    if (!::mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
    env_.Set(path_.c_str());
  }
  ~TempPipeDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempPipeDir(const TempPipeDir&) = delete;
  TempPipeDir& operator=(const TempPipeDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  ScopedEnv env_;
  std::string path_;
};

}  // namespace support
