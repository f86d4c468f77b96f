// Helpers shared by the index engine's tests: scratch directories, keys from text, seeds
// for the randomized tests, and raw file access to check bytes on disk. Test thread only.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Assert.h"
#include "index/Key.h"

namespace dovrel::index::test {

// A directory removed with its content when the test ends. Tests that move many clusters
// may ask for memory-backed storage (/dev/shm, where it exists), which the page files use
// without O_DIRECT.
class TempDir {
 public:
  explicit TempDir(bool inMemory = false) {
    std::string parent =
        inMemory && std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/dovrel-index-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A key held as its length byte and bytes.
inline std::string key(std::string_view text) {
  std::string stored(1, static_cast<char>(text.size()));
  stored += text;
  return stored;
}
inline Key K(const std::string& stored) { return reinterpret_cast<Key>(stored.data()); }
// The text of a key (without its length byte).
inline std::string text(Key k) { return std::string(reinterpret_cast<const char*>(k + 1), k[0]); }

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Seeds for a randomized test: DOVREL_TEST_SEED runs one, DOVREL_TEST_SEEDS=n runs 1..n,
// otherwise 1..`fallback`. Report the seed with SCOPED_TRACE so a failure names it.
inline std::vector<uint32_t> testSeeds(uint32_t fallback) {
  if (const char* one = ::getenv("DOVREL_TEST_SEED"))
    return {static_cast<uint32_t>(std::stoul(one))};
  uint32_t count = fallback;
  if (const char* many = ::getenv("DOVREL_TEST_SEEDS"))
    count = static_cast<uint32_t>(std::stoul(many));
  std::vector<uint32_t> seeds;
  for (uint32_t s = 1; s <= count; ++s) seeds.push_back(s);
  return seeds;
}

}  // namespace dovrel::index::test

// Expects `statement` to stop the process as a failed assertion (exit status 3) whose
// record, appended to the critical file, quotes `expression`.
#define EXPECT_FATAL(statement, expression)                                                    \
  do {                                                                                         \
    std::size_t before = ::dovrel::index::test::readFile(::dovrel::criticalFilePath()).size(); \
    EXPECT_EXIT(statement, ::testing::ExitedWithCode(3), "");                                  \
    EXPECT_NE(::dovrel::index::test::readFile(::dovrel::criticalFilePath())                    \
                  .substr(before)                                                              \
                  .find(std::string("Assertion failed: ") + (expression)),                     \
              std::string::npos);                                                              \
  } while (0)
