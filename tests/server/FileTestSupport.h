// Helpers for the journal and permission tests: a memory-backed temporary directory, and the
// shared whole-file reads and writes and console capture. Single-threaded test set-up; the
// capture itself is thread-safe.
#pragma once

#include <string>

#include "support/ConsoleCapture.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace dovrel::server::testing {

// A fresh directory under /dev/shm (or /tmp), removed with everything in it.
class TempDir : public testsupport::TempDir {
 public:
  TempDir() : testsupport::TempDir(testsupport::memoryParent()) {}
};

using testsupport::ConsoleCapture;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::writeFile;

}  // namespace dovrel::server::testing
