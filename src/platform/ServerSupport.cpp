// POSIX implementation of the connection and terminal helpers. Any thread.
#include "platform/ServerSupport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace dovrel::platform {

Status shutdownSocket(Socket& socket) {
  if (!socket.valid()) return Status::fromErrno(EBADF, "shutdown");
  if (::shutdown(socket.descriptor(), SHUT_RDWR) != 0 && errno != ENOTCONN) {
    return Status::fromErrno(errno, "shutdown");
  }
  return Status::ok();
}

bool isTerminal(StandardStream stream) {
  const int fd = stream == StandardStream::INPUT    ? STDIN_FILENO
                 : stream == StandardStream::OUTPUT ? STDOUT_FILENO
                                                    : STDERR_FILENO;
  return ::isatty(fd) == 1;
}

namespace {

// Turns echo off for its lifetime.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool readPasswordFromTerminal(std::string_view prompt, std::string* password) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool ok = writeAll(fd, prompt);
  password->clear();
  if (ok) {
    EchoOff echoOff(fd);
    char c;
    for (;;) {
      const ssize_t n = ::read(fd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') break;
      password->push_back(c);
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace dovrel::platform
