// A scratch directory for one test, removed with everything in it when the test ends.
// Used by the platform tests from the test's own thread.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace dovrel::platform::testing {

class TempDir {
 public:
  // Creates a fresh directory below `parent` (which must exist).
  explicit TempDir(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/dovrel-plat-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool valid() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace dovrel::platform::testing
