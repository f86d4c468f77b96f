// The POSIX implementation of Env: whole files, the buffered writable file, directories.
// Page files live in PosixPageFile.cpp. The Env itself holds no state, so every method may
// be called from any thread; each opened file is used by one thread at a time.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Env.h"
#include "platform/PosixError.h"
#include "platform/PosixPageFile.h"

namespace dovrel::platform {

namespace {

// Closes a descriptor when it leaves scope (for the short-lived ones of this file).
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

Status writeAll(int fd, const unsigned char* bytes, std::size_t length, const std::string& path) {
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return posixError(errno, path);
    }
    if (n == 0) return posixError(EIO, path);
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return Status::ok();
}

class PosixWritableFile final : public WritableFile {
 public:
  PosixWritableFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) {
      (void)flush();
      ::close(fd_);
    }
  }

  Status append(const void* bytes, std::size_t length) override {
    if (fd_ < 0) return posixError(EBADF, path_);
    const auto* in = static_cast<const unsigned char*>(bytes);
    const std::size_t fits = std::min(length, BUFFER_CAPACITY - used_);
    std::memcpy(buffer_ + used_, in, fits);
    used_ += fits;
    in += fits;
    length -= fits;
    if (length == 0) return Status::ok();
    Status status = flush();
    if (!status) return status;
    // What does not fit in an empty buffer goes straight to the file.
    if (length >= BUFFER_CAPACITY) return writeAll(fd_, in, length, path_);
    std::memcpy(buffer_, in, length);
    used_ = length;
    return Status::ok();
  }

  Status flush() override {
    if (fd_ < 0) return posixError(EBADF, path_);
    const std::size_t used = used_;
    used_ = 0;  // a failed write drops the bytes rather than repeating part of them later
    return writeAll(fd_, buffer_, used, path_);
  }

  Status sync() override {
    Status status = flush();
    if (!status) return status;
    int result;
    do {
      result = ::fdatasync(fd_);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return posixError(errno, path_);
    return Status::ok();
  }

  Status close() override {
    if (fd_ < 0) return posixError(EBADF, path_);
    Status status = flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR && status) return posixError(errno, path_);
    return status;
  }

 private:
  static constexpr std::size_t BUFFER_CAPACITY = 65536;
  int fd_;
  std::string path_;
  std::size_t used_ = 0;
  unsigned char buffer_[BUFFER_CAPACITY];
};

class PosixEnv final : public Env {
 public:
  Status openPageFile(const std::string& path, OpenMode mode,
                      std::unique_ptr<PageFile>* file) override {
    return PosixPageFile::open(path, mode, file, pageCaching() == PageCaching::DIRECT);
  }

  Status openWritableFile(const std::string& path, bool append,
                          std::unique_ptr<WritableFile>* file) override {
    file->reset();
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
    if (fd < 0) return posixError(errno, path);
    // A file an older build left readable to others (a ".new", the security log) is made
    // owner-only too.
    makeOwnerOnly(fd);
    file->reset(new PosixWritableFile(fd, path));
    return Status::ok();
  }

  Status readWholeFile(const std::string& path, std::string* content) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return posixError(errno, path);
    FdCloser closer(fd);
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        return posixError(errno, path);
      }
      if (n == 0) return Status::ok();
      content->append(chunk, static_cast<std::size_t>(n));
    }
  }

  Status renameFile(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return posixError(errno, from);
    return Status::ok();
  }

  Status deleteFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return posixError(errno, path);
    return Status::ok();
  }

  bool fileExists(const std::string& path) override { return ::access(path.c_str(), F_OK) == 0; }

  Status fileSize(const std::string& path, uint64_t* bytes) override {
    *bytes = 0;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return posixError(errno, path);
    *bytes = static_cast<uint64_t>(info.st_size);
    return Status::ok();
  }

  Status truncateFile(const std::string& path, uint64_t length) override {
    int result;
    do {
      result = ::truncate(path.c_str(), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result != 0) return posixError(errno, path);
    return Status::ok();
  }

  Status createDirectory(const std::string& path) override {
    // Owner-only like the files in it, with the owner's bits back if the umask took them.
    constexpr mode_t OWNER_ONLY = S_IRWXU;
    if (::mkdir(path.c_str(), OWNER_ONLY) == 0) {
      struct stat info;
      if (::stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) != OWNER_ONLY) {
        (void)::chmod(path.c_str(), OWNER_ONLY);
      }
      return Status::ok();
    }
    const int error = errno;
    if (error != EEXIST) return posixError(error, path);
    // An existing directory is what was asked for; a file of that name is not.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Status::ok();
    return posixError(ENOTDIR, path);
  }

  Status syncDirectory(const std::string& path) override {
    const std::string directory = path.empty() ? "." : path;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return posixError(errno, path);
    FdCloser closer(fd);
    int result;
    do {
      result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    // A file system that cannot sync a directory (EINVAL) keeps nothing that needs it.
    if (result != 0 && errno != EINVAL) return posixError(errno, path);
    return Status::ok();
  }

  Status listDirectory(const std::string& directory, const std::string& pattern,
                       std::vector<std::string>* names) override {
    names->clear();
    const std::string dir = directory.empty() ? "." : directory;
    const std::string prefix = dir.back() == '/' ? dir : dir + "/";
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) return posixError(errno, directory);
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream);
      if (entry == nullptr) {
        const int error = errno;
        ::closedir(stream);
        if (error != 0) {
          names->clear();
          return posixError(error, directory);
        }
        break;
      }
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (::fnmatch(pattern.c_str(), name, 0) != 0) continue;
      bool regular = entry->d_type == DT_REG;
      if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
        // The file system did not say, or it is a link: judge by what it leads to.
        struct stat info;
        regular = ::stat((prefix + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
      }
      if (regular) names->emplace_back(name);
    }
    std::sort(names->begin(), names->end());
    return Status::ok();
  }
};

// A byte count from a control-group file ("max" or a number and a line feed); 0 when the
// file is missing, says "max" or holds anything else.
uint64_t readLimitFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  FdCloser closer(fd);
  char text[32];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  uint64_t value = 0;
  for (ssize_t i = 0; i < n && text[i] != '\n'; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > (~uint64_t{0} - 9) / 10) return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

}  // namespace

uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  uint64_t bytes = pages > 0 && pageSize > 0
                       ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
                       : 0;
  // A container's limit (control groups v2, then v1); v1 reports "no limit" as a huge number.
  for (const char* path :
       {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    const uint64_t limit = readLimitFile(path);
    if (limit != 0 && (bytes == 0 || limit < bytes)) bytes = limit;
  }
  return bytes;
}

Env& Env::posix() {
  static PosixEnv env;
  return env;
}

}  // namespace dovrel::platform
