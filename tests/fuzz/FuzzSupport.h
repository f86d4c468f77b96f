// What the fuzz targets share: a private temporary directory on a memory file system and
// whole-file writes. Each fuzz program is single-threaded; libFuzzer calls the target from
// its one thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::fuzz {

// A fresh directory under /dev/shm (or /tmp), removed with everything in it when the
// object goes. The path ends with '/'.
class TempDir {
 public:
  explicit TempDir(std::string_view tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Replaces the file's content by `bytes`; aborts when the file cannot be written, since a
// target that silently ran on a stale file would report nothing.
void writeWholeFile(const std::string& path, std::string_view bytes);

// Removes `to` and copies the tree `from` into its place.
void copyTree(const std::string& from, const std::string& to);

// Ends the fuzz run with the input recorded: libFuzzer treats the abort as a crash.
[[noreturn]] void fail(std::string_view what);

}  // namespace dovrel::fuzz
