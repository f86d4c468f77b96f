// Helpers shared by the storage tests: a memory-backed temporary directory, the shared
// whole-file reads and writes, and an installed fault-injecting Env.
// Single-threaded test use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/Env.h"
#include "platform/FaultInjectionEnv.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace dovrel::storage_test {

// Where tests that do not depend on the file system keep their files: tmpfs, whose syncs
// cost nothing, so crash loops stay quick. The buffered-file tests also run on a disk.
inline std::string fastParent() { return testsupport::memoryParent(); }

// A fresh directory below `parent` (memory-backed unless given), removed at the end.
class TempDir : public testsupport::TempDir {
 public:
  explicit TempDir(const std::string& parent = fastParent()) : testsupport::TempDir(parent) {}
};

using testsupport::copyFile;
using testsupport::patchFile;
using testsupport::readFile;
using testsupport::writeFile;

// Compares byte strings too long to print: a failure names the first differing offset.
inline ::testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "lengths " << got.size() << " and " << want.size()
                                       << ", first difference at offset " << at;
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
