// The operating-system services for files and directories. Every file access of the
// system goes through an Env, so a port replaces this folder only and tests can install a
// fault-injecting Env (see FaultInjectionEnv.h). Env::current() is set before other
// threads start; the Env and the files it opens are used by one thread at a time unless a
// method says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dovrel::platform {

// The result of one operating-system call: success, or the errno value together with the
// path it concerned. Ignoring a Status is a compile error.
class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  static Status ok() { return Status(); }
  static Status fromErrno(int error, std::string path) { return Status(error, std::move(path)); }
  bool isOk() const { return error_ == 0; }
  explicit operator bool() const { return isOk(); }
  int error() const { return error_; }
  const std::string& path() const { return path_; }
  // "PATH: strerror text" (for the operator's console and test failures).
  std::string toString() const;

 private:
  Status(int error, std::string path) : error_(error), path_(std::move(path)) {}
  int error_ = 0;
  std::string path_;
};

// A file opened for page I/O, through the operating system's page cache or past it
// (O_DIRECT, where the file system allows it) as pageCaching() says; the bytes, the I/O
// units and the syncs are the same either way. Opened for reading and writing and held exclusively
// (flock) until destroyed: a second opener of the same file fails with EWOULDBLOCK.
// Buffers, offsets and lengths need not be aligned: unaligned transfers are copied through
// an aligned bounce buffer, so callers that want zero copies pass 4096-aligned buffers and
// offsets and lengths that are multiples of 4096.
class PageFile {
 public:
  virtual ~PageFile() = default;  // releases the lock and closes; errors are ignored
  // Reads `length` bytes at `offset`. A transfer shorter than asked is reported through
  // `transferred` with an OK status (end of file); callers decide whether that is an error.
  virtual Status readAt(uint64_t offset, void* buffer, std::size_t length,
                        std::size_t* transferred) = 0;
  virtual Status writeAt(uint64_t offset, const void* buffer, std::size_t length,
                         std::size_t* transferred) = 0;
  virtual Status size(uint64_t* bytes) = 0;
  // Sets the end of the file (shorter or longer; new bytes read as zero).
  virtual Status truncate(uint64_t length) = 0;
  // Makes the `length` bytes at `offset`, inside the file, read as zero, as a write of zero
  // bytes would, durable at the next sync like one; the file system does it without moving
  // the bytes where it can. Offset and length are multiples of 4096.
  virtual Status zeroRange(uint64_t offset, uint64_t length) = 0;
  // Makes written data durable (fdatasync).
  virtual Status sync() = 0;
  // Closes now and reports the result; later calls fail with EBADF.
  virtual Status close() = 0;
  virtual const std::string& path() const = 0;
};

// A file written from its start (or appended to) through a user-space buffer, for the
// query journal and small whole files.
class WritableFile {
 public:
  virtual ~WritableFile() = default;  // closes; errors are ignored
  virtual Status append(const void* bytes, std::size_t length) = 0;
  // Hands buffered bytes to the operating system (survives a process crash).
  virtual Status flush() = 0;
  // flush, then fdatasync (survives a power loss).
  virtual Status sync() = 0;
  virtual Status close() = 0;
};

// Whether page files go through the operating system's page cache. SYSTEM_CACHE (the
// default) lets the page cache keep what was read or written, so repeated reads cost a
// copy; DIRECT opens with O_DIRECT where the file system allows it, so every read goes to
// the device. Durability does not depend on it: written data is durable only once sync()
// returned, in both modes. Applies to page files opened afterwards; set it before other
// threads start (benchmarks and tests).
enum class PageCaching { SYSTEM_CACHE, DIRECT };
void setPageCaching(PageCaching caching);
PageCaching pageCaching();

// The memory the process may use, in bytes: the machine's physical memory, or the limit of
// the process's control group when that is lower; 0 when neither can be learnt. Any thread.
uint64_t physicalMemoryBytes();

enum class OpenMode {
  CREATE_ALWAYS,  // create, replacing an existing file (truncated to 0)
  OPEN_EXISTING,  // the file must exist
};

class Env {
 public:
  virtual ~Env() = default;

  // The Env that the program uses: the POSIX one unless a test installed another.
  static Env& current();
  // Installs `env` as current (nullptr restores the POSIX Env). Tests only, before the code
  // under test runs; the caller keeps ownership.
  static void setCurrent(Env* env);
  // The real POSIX implementation, for wrappers to delegate to.
  static Env& posix();

  virtual Status openPageFile(const std::string& path, OpenMode mode,
                              std::unique_ptr<PageFile>* file) = 0;
  // Opens for writing with a user-space buffer; `append` keeps the content and writes at
  // the end, otherwise the file is created or truncated.
  virtual Status openWritableFile(const std::string& path, bool append,
                                  std::unique_ptr<WritableFile>* file) = 0;
  // Appends the whole file's bytes to `content`.
  virtual Status readWholeFile(const std::string& path, std::string* content) = 0;
  virtual Status renameFile(const std::string& from, const std::string& to) = 0;
  virtual Status deleteFile(const std::string& path) = 0;
  virtual bool fileExists(const std::string& path) = 0;
  virtual Status fileSize(const std::string& path, uint64_t* bytes) = 0;
  // Truncates (or extends) a closed file to `length` bytes.
  virtual Status truncateFile(const std::string& path, uint64_t length) = 0;
  virtual Status createDirectory(const std::string& path) = 0;  // EEXIST is success
  // Makes the directory's entries (creations, renames, deletions) durable.
  virtual Status syncDirectory(const std::string& path) = 0;
  // Names (not paths) of the regular files in `directory` matching `pattern`, which is
  // "prefix*" or "*suffix" (or any fnmatch pattern), sorted bytewise.
  virtual Status listDirectory(const std::string& directory, const std::string& pattern,
                               std::vector<std::string>* names) = 0;
};

// The directory part of a path, up to and including its last '/', or "" when it has none.
std::string directoryOf(const std::string& path);

}  // namespace dovrel::platform
