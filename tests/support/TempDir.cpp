// Scratch directories (POSIX calls are allowed in tests).
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

namespace dovrel::testsupport {

std::string memoryParent() {
  std::error_code ignored;
  return std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : "/tmp";
}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/dovrel-test-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  EXPECT_TRUE(valid()) << "cannot make a directory in " << parent;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (valid()) std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

InstanceDir::InstanceDir(const std::string& parent, bool withLogs) : dir_(parent) {
  if (!dir_.valid()) return;
  path_ = dir_.path() + "/";
  std::filesystem::create_directory(path_ + "DATA");
  if (withLogs) std::filesystem::create_directory(path_ + "LOGS");
}

}  // namespace dovrel::testsupport
