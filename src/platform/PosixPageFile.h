// The POSIX page file: through the page cache, or unbuffered (O_DIRECT) where asked and
// the file system allows it; held under an exclusive flock while open. Created only through
// PosixEnv::openPageFile (and tests); one thread at a time uses an instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Env.h"

namespace dovrel::platform {

// Alignment of buffers, offsets and lengths for unbuffered transfers.
inline constexpr std::size_t DIRECT_IO_ALIGNMENT = 4096;

// Every file the system writes holds data or a secret (tables, indexes, the journal with its
// login lines, the security file and log), so each is owner-only: read and write for the
// owner alone, whatever the umask. Sets the open descriptor's mode to 0600 unless it has
// it; a file created elsewhere that the process may write but not change keeps its mode
// (the failure is not an error: the file was opened as asked).
void makeOwnerOnly(int fd);

class PosixPageFile final : public PageFile {
 public:
  // Opens `path` (see Env::openPageFile). On failure nothing stays open. `tryDirect` asks
  // for O_DIRECT (buffered where the file system refuses it); false opens buffered.
  static Status open(const std::string& path, OpenMode mode, std::unique_ptr<PageFile>* file,
                     bool tryDirect = true);
  ~PosixPageFile() override;

  Status readAt(uint64_t offset, void* buffer, std::size_t length,
                std::size_t* transferred) override;
  Status writeAt(uint64_t offset, const void* buffer, std::size_t length,
                 std::size_t* transferred) override;
  Status size(uint64_t* bytes) override;
  Status truncate(uint64_t length) override;
  Status zeroRange(uint64_t offset, uint64_t length) override;
  Status sync() override;
  Status close() override;
  const std::string& path() const override { return path_; }

  // True when the file was opened with O_DIRECT (false on file systems that refuse it).
  bool isDirect() const { return direct_; }

 private:
  PosixPageFile(int fd, std::string path, bool direct)
      : fd_(fd), path_(std::move(path)), direct_(direct) {}
  bool isAligned(uint64_t offset, const void* buffer, std::size_t length) const;
  // Plain loops over pread/pwrite that retry EINTR and continue partial transfers.
  Status preadFully(uint64_t offset, void* buffer, std::size_t length, std::size_t* done);
  Status pwriteFully(uint64_t offset, const void* buffer, std::size_t length);
  Status readBounced(uint64_t offset, void* buffer, std::size_t length, std::size_t* transferred);
  Status writeBounced(uint64_t offset, const void* buffer, std::size_t length);

  int fd_;
  std::string path_;
  bool direct_;
  // The fallocate modes tried in turn by zeroRange; one the file system refused is not
  // asked again, and with none left zero bytes are written.
  bool zeroRangeRefused_ = false;
  bool punchHoleRefused_ = false;
};

}  // namespace dovrel::platform
