// Helpers shared by the storage tests: a temporary directory that removes itself, whole-file
// reads and writes that bypass the code under test, and an installed fault-injecting Env.
// Single-threaded test use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Env.h"
#include "platform/FaultInjectionEnv.h"

namespace dovrel::storage_test {

// Where tests that do not depend on the file system keep their files: tmpfs, whose syncs
// cost nothing, so crash loops stay quick. The buffered-file tests also run on a disk.
inline std::string fastParent() {
  return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
}

// A fresh directory below `parent`, removed with everything in it at the end of the test.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = fastParent()) {
    std::string pattern = parent + "/dovrel-storage-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    EXPECT_FALSE(path_.empty()) << "cannot make a directory in " << parent;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::string();
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Compares byte strings too long to print: a failure names the first differing offset.
inline ::testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "lengths " << got.size() << " and " << want.size()
                                       << ", first difference at offset " << at;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Overwrites bytes in place, keeping the rest of the file.
inline void patchFile(const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void copyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// Opens page files with the given caching for its lifetime, then restores the default.
class PageCachingScope {
 public:
  explicit PageCachingScope(platform::PageCaching caching) { platform::setPageCaching(caching); }
  ~PageCachingScope() { platform::setPageCaching(platform::PageCaching::SYSTEM_CACHE); }
  PageCachingScope(const PageCachingScope&) = delete;
  PageCachingScope& operator=(const PageCachingScope&) = delete;
};

// Installs a fault-injecting Env over the POSIX one for its lifetime.
class InstalledFaultEnv {
 public:
  InstalledFaultEnv() { platform::Env::setCurrent(&env); }
  ~InstalledFaultEnv() { platform::Env::setCurrent(nullptr); }
  platform::FaultInjectionEnv env;
};

}  // namespace dovrel::storage_test
