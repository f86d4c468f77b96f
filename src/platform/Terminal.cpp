// The terminal and pager services of the interactive client, on POSIX. Main thread only.
#include "platform/Terminal.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace dovrel::platform {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void recordInterrupt(int) { interrupted = 1; }

}  // namespace

int terminalRows() {
  if (::isatty(STDOUT_FILENO) != 1) return 0;
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = recordInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the line editor's read must return
  ::sigaction(SIGINT, &action, nullptr);
}

bool takeInterrupt() {
  const bool was = interrupted != 0;
  interrupted = 0;
  return was;
}

bool commandOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr || name.empty()) return false;
  std::string_view rest(path);
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string_view directory = rest.substr(0, colon);
    std::string candidate(directory.empty() ? std::string_view(".") : directory);
    candidate += '/';
    candidate.append(name);
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

bool pipeToCommand(const std::string& command, std::string_view text) {
  std::fflush(stdout);
  FILE* pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) return false;
  // SIGPIPE is ignored by the client, so a pager quit early only makes this write fail.
  std::fwrite(text.data(), 1, text.size(), pipe);
  const int status = ::pclose(pipe);
  // The shell's 127: the command was not found.
  return !(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace dovrel::platform
