// The one place where an errno value becomes a Status, for the POSIX implementation files
// of this folder only. Thread-safe.
#pragma once

#include <cerrno>
#include <string>

#include "platform/Env.h"

namespace dovrel::platform {

// The failure `error` (an errno value, never 0) of a call on `path`. An error of 0 would
// read as success, so it is reported as EIO: a call that failed must never look like one
// that succeeded.
inline Status posixError(int error, const std::string& path) {
  return Status::fromErrno(error != 0 ? error : EIO, path);
}

}  // namespace dovrel::platform
