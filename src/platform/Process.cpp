// Process control on POSIX. exitProcess may be called from any thread; the stop signals are
// waited for on a thread of their own.
#include "platform/Process.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/Env.h"
#include "platform/Thread.h"

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

namespace {

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

void blockStopSignals() {
  const sigset_t signals = stopSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

Status startStopSignalWaiter(std::function<void(int signal)> onStop) {
  return startDetachedThread([onStop = std::move(onStop)] {
    const sigset_t signals = stopSignals();
    int received = 0;
    // sigwait fails only for an invalid set; EINTR is not among its results.
    while (::sigwait(&signals, &received) != 0) {
    }
    onStop(received);
  });
}

std::string baseDirectory(const char* argv0) {
  return argv0 == nullptr ? std::string() : directoryOf(argv0);
}

}  // namespace dovrel::platform
