// Process control on POSIX. exitProcess may be called from any thread.
#include "platform/Process.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/Env.h"

namespace dovrel::platform {

void exitProcess(int status) {
  std::cout.flush();
  std::fflush(stdout);
  ::_exit(status);
}

void ignoreSigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

std::string baseDirectory(const char* argv0) {
  return argv0 == nullptr ? std::string() : directoryOf(argv0);
}

}  // namespace dovrel::platform
