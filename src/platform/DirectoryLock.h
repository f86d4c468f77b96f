// An exclusive lock on a directory, held by one process for as long as the object lives.
// The server takes it on its data directory at start-up, so a second server started on the
// same instance stops before it replays or appends to the first one's journal. Main thread.
#pragma once

#include <memory>
#include <string>

namespace dovrel::platform {

class DirectoryLock {
 public:
  enum class Outcome {
    LOCKED,       // the lock is ours until the object is destroyed
    HELD,         // another process holds it
    UNAVAILABLE,  // the directory cannot be opened (missing, no access)
  };

  // Tries once, without waiting. On LOCKED `*lock` holds the lock; otherwise it is reset.
  static Outcome acquire(const std::string& directory, std::unique_ptr<DirectoryLock>* lock);

  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace dovrel::platform
