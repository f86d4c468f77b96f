// The fatal stop behind DOVREL_ASSERT. Any thread may get here. It uses the standard
// library alone (no console lock, no allocator, no platform layer): the failing thread may
// hold any of those, and the record must still be written. Its file calls (the C library's
// and std::filesystem's) are the one sanctioned exception to the platform layer's rule.
#include "foundation/Assert.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <utility>

#include "foundation/InstanceFiles.h"

namespace dovrel {

namespace {

// A function-local static, so an assertion during static initialisation still finds it.
std::string& criticalPath() {
  static std::string path(instance::CRITICAL_FILE);
  return path;
}

// Two threads failing at once would otherwise interleave their records; the second one
// waits here until the first has ended the process.
std::mutex& stopMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void setCriticalFilePath(std::string path) { criticalPath() = std::move(path); }

const std::string& criticalFilePath() { return criticalPath(); }

void assertFailed(const char* file, const char* expression, int line) {
  stopMutex().lock();  // never unlocked: the process ends below
  // No line feed after the record, on the console or in the file: consecutive records in
  // the critical file run on, as the operators' tools expect.
  std::printf("Assertion failed: %s\nfile %s line %d", expression, file, line);
  std::fflush(stdout);
  if (std::FILE* out = std::fopen(criticalPath().c_str(), "a")) {
    // Owner-only like every file the server writes. fopen creates with the umask's mode;
    // the mode is set before a byte of the record is written.
    std::error_code ignored;
    std::filesystem::permissions(
        criticalPath(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace, ignored);
    std::fprintf(out, "Assertion failed: %s\nfile %s line %d", expression, file, line);
    std::fflush(out);
    std::fclose(out);
  }
  // Status 3 rather than 0: a fatal stop must never look like a clean shutdown.
  std::_Exit(3);
}

}  // namespace dovrel
