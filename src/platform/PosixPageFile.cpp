// The POSIX page file. Unbuffered I/O needs aligned buffers, offsets and lengths; callers
// that cannot give them are served through an aligned bounce buffer here, so the rule of
// the file system never leaks to the storage engine. One thread at a time per instance.
#include "platform/PosixPageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/PosixError.h"

namespace dovrel::platform {

namespace {

// The bounce path moves at most this many bytes per system call.
constexpr std::size_t BOUNCE_CHUNK = 1024 * 1024;

uint64_t alignDown(uint64_t value) { return value & ~uint64_t{DIRECT_IO_ALIGNMENT - 1}; }
uint64_t alignUp(uint64_t value) { return alignDown(value + DIRECT_IO_ALIGNMENT - 1); }

// An aligned heap block for the bounce path; empty when the allocation failed.
class AlignedBlock {
 public:
  explicit AlignedBlock(std::size_t bytes)
      : bytes_(static_cast<unsigned char*>(std::aligned_alloc(DIRECT_IO_ALIGNMENT, bytes))) {}
  ~AlignedBlock() { std::free(bytes_); }
  AlignedBlock(const AlignedBlock&) = delete;
  AlignedBlock& operator=(const AlignedBlock&) = delete;
  unsigned char* get() const { return bytes_; }

 private:
  unsigned char* bytes_;
};

}  // namespace

void makeOwnerOnly(int fd) {
  constexpr mode_t OWNER_READ_WRITE = S_IRUSR | S_IWUSR;
  struct stat info;
  if (::fstat(fd, &info) != 0 || (info.st_mode & 07777) == OWNER_READ_WRITE) return;
  int result;
  do {
    result = ::fchmod(fd, OWNER_READ_WRITE);
  } while (result != 0 && errno == EINTR);
}

Status PosixPageFile::open(const std::string& path, OpenMode mode, std::unique_ptr<PageFile>* file,
                           bool tryDirect) {
  file->reset();
  // O_TRUNC is not used: truncating before the lock is taken would destroy the content of
  // a file that another opener holds. The file is emptied only once the lock is ours.
  const int flags = O_RDWR | O_CLOEXEC | (mode == OpenMode::CREATE_ALWAYS ? O_CREAT : 0);
  bool direct = tryDirect;
  // Created owner-only; the umask can only take bits away, makeOwnerOnly below puts back
  // what it took and tightens a file an older build made readable to others.
  int fd = tryDirect ? ::open(path.c_str(), flags | O_DIRECT, S_IRUSR | S_IWUSR) : -1;
  if (!tryDirect || (fd < 0 && errno == EINVAL)) {
    direct = false;
    fd = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
  }
  if (fd < 0) return posixError(errno, path);
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    ::close(fd);
    return posixError(error, path);
  }
  if (mode == OpenMode::CREATE_ALWAYS) {
    do {
      result = ::ftruncate(fd, 0);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const int error = errno;
      ::close(fd);
      return posixError(error, path);
    }
  }
  makeOwnerOnly(fd);
  file->reset(new PosixPageFile(fd, path, direct));
  return Status::ok();
}

PosixPageFile::~PosixPageFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool PosixPageFile::isAligned(uint64_t offset, const void* buffer, std::size_t length) const {
  if (!direct_) return true;
  return offset % DIRECT_IO_ALIGNMENT == 0 && length % DIRECT_IO_ALIGNMENT == 0 &&
         reinterpret_cast<uintptr_t>(buffer) % DIRECT_IO_ALIGNMENT == 0;
}

Status PosixPageFile::preadFully(uint64_t offset, void* buffer, std::size_t length,
                                 std::size_t* done) {
  *done = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*done < length) {
    const ssize_t n = ::pread(fd_, bytes + *done, length - *done, offset + *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return posixError(errno, path_);
    }
    if (n == 0) break;  // end of file
    *done += static_cast<std::size_t>(n);
    // An unbuffered read stops short only at the end of the file; asking again from an
    // unaligned position would fail with EINVAL instead of reporting the end.
    if (direct_ && (offset + *done) % DIRECT_IO_ALIGNMENT != 0) break;
  }
  return Status::ok();
}

Status PosixPageFile::pwriteFully(uint64_t offset, const void* buffer, std::size_t length) {
  std::size_t done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < length) {
    const ssize_t n = ::pwrite(fd_, bytes + done, length - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return posixError(errno, path_);
    }
    if (n == 0) return posixError(EIO, path_);
    done += static_cast<std::size_t>(n);
    // A short unbuffered write means the device is full; going on from an unaligned
    // position would only turn that into EINVAL.
    if (done < length && direct_ && (offset + done) % DIRECT_IO_ALIGNMENT != 0) {
      return posixError(ENOSPC, path_);
    }
  }
  return Status::ok();
}

Status PosixPageFile::readAt(uint64_t offset, void* buffer, std::size_t length,
                             std::size_t* transferred) {
  *transferred = 0;
  if (fd_ < 0) return posixError(EBADF, path_);
  if (length == 0) return Status::ok();
  if (isAligned(offset, buffer, length)) return preadFully(offset, buffer, length, transferred);
  return readBounced(offset, buffer, length, transferred);
}

Status PosixPageFile::writeAt(uint64_t offset, const void* buffer, std::size_t length,
                              std::size_t* transferred) {
  *transferred = 0;
  if (fd_ < 0) return posixError(EBADF, path_);
  if (length == 0) return Status::ok();
  Status status = isAligned(offset, buffer, length) ? pwriteFully(offset, buffer, length)
                                                    : writeBounced(offset, buffer, length);
  if (status) *transferred = length;
  return status;
}

Status PosixPageFile::readBounced(uint64_t offset, void* buffer, std::size_t length,
                                  std::size_t* transferred) {
  const std::size_t capacity = static_cast<std::size_t>(
      std::min<uint64_t>(BOUNCE_CHUNK, alignUp(length) + DIRECT_IO_ALIGNMENT));
  AlignedBlock bounce(capacity);
  if (bounce.get() == nullptr) return posixError(ENOMEM, path_);
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const uint64_t pos = offset + done;
    const uint64_t start = alignDown(pos);
    const std::size_t skip = static_cast<std::size_t>(pos - start);
    const std::size_t want = std::min(length - done, capacity - skip);
    const std::size_t span = static_cast<std::size_t>(alignUp(pos + want) - start);
    std::size_t got = 0;
    Status status = preadFully(start, bounce.get(), span, &got);
    if (!status) return status;
    const std::size_t useful = got > skip ? std::min(want, got - skip) : 0;
    std::memcpy(out + done, bounce.get() + skip, useful);
    done += useful;
    *transferred = done;
    if (useful < want) break;  // end of file
  }
  return Status::ok();
}

Status PosixPageFile::writeBounced(uint64_t offset, const void* buffer, std::size_t length) {
  uint64_t oldSize = 0;
  Status status = size(&oldSize);
  if (!status) return status;
  const std::size_t capacity = static_cast<std::size_t>(
      std::min<uint64_t>(BOUNCE_CHUNK, alignUp(length) + DIRECT_IO_ALIGNMENT));
  AlignedBlock bounce(capacity);
  if (bounce.get() == nullptr) return posixError(ENOMEM, path_);
  const auto* in = static_cast<const unsigned char*>(buffer);
  // The aligned blocks written may reach past both the old end and the end of this write;
  // the file is cut back afterwards so its size is what the caller expects.
  const uint64_t wantedEnd = std::max<uint64_t>(oldSize, offset + length);
  uint64_t writtenEnd = 0;
  std::size_t done = 0;
  while (done < length) {
    const uint64_t pos = offset + done;
    const uint64_t start = alignDown(pos);
    const std::size_t skip = static_cast<std::size_t>(pos - start);
    const std::size_t want = std::min(length - done, capacity - skip);
    const uint64_t end = alignUp(pos + want);
    const std::size_t span = static_cast<std::size_t>(end - start);
    // Read-modify-write of the partly covered first and last blocks; bytes past the end
    // of the file read as zero, as a hole would.
    const bool headPartial = skip != 0;
    const bool tailPartial = pos + want != end;
    std::size_t got = 0;
    if (headPartial) {
      status = preadFully(start, bounce.get(), DIRECT_IO_ALIGNMENT, &got);
      if (!status) return status;
      std::memset(bounce.get() + got, 0, DIRECT_IO_ALIGNMENT - got);
    }
    if (tailPartial && !(headPartial && span == DIRECT_IO_ALIGNMENT)) {
      unsigned char* last = bounce.get() + span - DIRECT_IO_ALIGNMENT;
      status = preadFully(end - DIRECT_IO_ALIGNMENT, last, DIRECT_IO_ALIGNMENT, &got);
      if (!status) return status;
      std::memset(last + got, 0, DIRECT_IO_ALIGNMENT - got);
    }
    std::memcpy(bounce.get() + skip, in + done, want);
    status = pwriteFully(start, bounce.get(), span);
    if (!status) {
      // Whatever the failed write did, the file must not keep padding past its end.
      uint64_t now = 0;
      if (size(&now) && now > wantedEnd) (void)truncate(wantedEnd);
      return status;
    }
    writtenEnd = std::max(writtenEnd, end);
    done += want;
  }
  if (writtenEnd > wantedEnd) return truncate(wantedEnd);
  return Status::ok();
}

Status PosixPageFile::size(uint64_t* bytes) {
  *bytes = 0;
  if (fd_ < 0) return posixError(EBADF, path_);
  struct stat info;
  if (::fstat(fd_, &info) != 0) return posixError(errno, path_);
  *bytes = static_cast<uint64_t>(info.st_size);
  return Status::ok();
}

Status PosixPageFile::truncate(uint64_t length) {
  if (fd_ < 0) return posixError(EBADF, path_);
  int result;
  do {
    result = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return posixError(errno, path_);
  return Status::ok();
}

Status PosixPageFile::zeroRange(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return posixError(EBADF, path_);
  if (length == 0) return Status::ok();
  // A zeroed range keeps its blocks (unwritten extents); a punched hole frees them. Either
  // reads as zero and is durable at the next fdatasync, which writes the extent change.
  for (bool* refused : {&zeroRangeRefused_, &punchHoleRefused_}) {
    if (*refused) continue;
    const int mode = (refused == &zeroRangeRefused_ ? FALLOC_FL_ZERO_RANGE : FALLOC_FL_PUNCH_HOLE) |
                     FALLOC_FL_KEEP_SIZE;
    int result;
    do {
      result = ::fallocate(fd_, mode, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return Status::ok();
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
      return posixError(errno, path_);
    }
    *refused = true;
  }
  const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(BOUNCE_CHUNK, length));
  AlignedBlock zeros(chunk);
  if (zeros.get() == nullptr) return posixError(ENOMEM, path_);
  std::memset(zeros.get(), 0, chunk);
  for (uint64_t done = 0; done < length; done += chunk) {
    Status status = pwriteFully(offset + done, zeros.get(),
                                static_cast<std::size_t>(std::min<uint64_t>(chunk, length - done)));
    if (!status) return status;
  }
  return Status::ok();
}

Status PosixPageFile::sync() {
  if (fd_ < 0) return posixError(EBADF, path_);
  int result;
  do {
    result = ::fdatasync(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return posixError(errno, path_);
  return Status::ok();
}

Status PosixPageFile::close() {
  if (fd_ < 0) return posixError(EBADF, path_);
  const int fd = fd_;
  fd_ = -1;
  // Never retried: on Linux the descriptor is gone even when close reports EINTR.
  if (::close(fd) != 0 && errno != EINTR) return posixError(errno, path_);
  return Status::ok();
}

}  // namespace dovrel::platform
