// Scratch directories for tests: a fresh directory removed with everything in it when the
// object goes, and an instance directory (with DATA/ and, when asked, LOGS/) laid out the
// way the server expects one. Test set-up on one thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dovrel::testsupport {

// "/dev/shm" where it exists, else "/tmp": memory-backed, so that syncs cost nothing and
// crash loops stay quick. Tests that must see a real disk use the default parent.
std::string memoryParent();

class TempDir {
 public:
  // Creates a fresh directory below `parent` (which must exist); a test failure is
  // recorded when that is impossible, and valid() is then false.
  explicit TempDir(const std::string& parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool valid() const { return !path_.empty(); }
  // The directory, without a final '/'.
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  // The names of the entries in the directory, sorted.
  std::vector<std::string> names() const;

 private:
  std::string path_;
};

// A directory holding DATA/ (and LOGS/ when `withLogs`), as an instance directory does.
class InstanceDir {
 public:
  explicit InstanceDir(const std::string& parent = memoryParent(), bool withLogs = false);

  // The directory with its final '/'.
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + std::string(name); }
  std::string dataDir() const { return path_ + "DATA/"; }

 private:
  TempDir dir_;
  std::string path_;
};

}  // namespace dovrel::testsupport
