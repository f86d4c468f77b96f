// Helpers for the journal and permission tests: a temporary directory that removes itself,
// whole-file reads and writes that bypass the code under test, and a capture of the
// console. Single-threaded test set-up; the capture itself is thread-safe.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/Console.h"

namespace dovrel::server::testing {

// A fresh directory under /dev/shm (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const std::string parent = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/dovrel-server-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    EXPECT_FALSE(path_.empty()) << "cannot make a directory in " << parent;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

// Collects everything printed to the console (code page 866 bytes) while it lives.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    setConsoleSink([this](std::string_view message) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_ += message;
    });
  }
  ~ConsoleCapture() { setConsoleSink({}); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

}  // namespace dovrel::server::testing
