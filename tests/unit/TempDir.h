#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nuv::test {

// A fresh folder under /tmp for one test, removed with its contents.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nuv-test-XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace nuv::test
