// flock on a directory descriptor: released by the kernel when the process ends, however it
// ends, so a killed server never leaves a stale lock behind. Main thread.
#include "platform/DirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace dovrel::platform {

DirectoryLock::Outcome DirectoryLock::acquire(const std::string& directory,
                                              std::unique_ptr<DirectoryLock>* lock) {
  lock->reset();
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Outcome::UNAVAILABLE;
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? Outcome::HELD : Outcome::UNAVAILABLE;
  }
  lock->reset(new DirectoryLock(fd));
  return Outcome::LOCKED;
}

DirectoryLock::~DirectoryLock() { ::close(fd_); }

}  // namespace dovrel::platform
