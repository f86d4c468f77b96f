// Helpers shared by the index engine's tests: scratch directories (memory-backed on request),
// keys from text, and the shared seeds and raw file access. Test thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Assert.h"
#include "index/Key.h"
#include "support/Files.h"
#include "support/Seeds.h"
#include "support/TempDir.h"

namespace dovrel::index::test {

// A directory removed with its content when the test ends. Tests that move many clusters
// may ask for memory-backed storage (/dev/shm, where it exists), which the page files use
// without O_DIRECT.
class TempDir : public testsupport::TempDir {
 public:
  explicit TempDir(bool inMemory = false)
      : testsupport::TempDir(inMemory ? testsupport::memoryParent() : "/tmp") {}
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

using testsupport::readFile;
using testsupport::testSeeds;
using testsupport::writeFile;

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
