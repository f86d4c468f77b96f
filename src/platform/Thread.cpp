// Detached pthreads with a chosen stack size and a process-wide count of live ones. The
// count is guarded by one mutex so that waitForNoLiveThreads can sleep on a condition.
#include "platform/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

namespace dovrel::platform {

namespace {

// Never destroyed: detached threads may still end (and signal) while the process exits
// and runs its static destructors.
std::mutex& liveMutex = *new std::mutex;
std::condition_variable& liveChanged = *new std::condition_variable;
std::size_t liveThreads = 0;

void threadEnded() {
  std::lock_guard lock(liveMutex);
  --liveThreads;
  liveChanged.notify_all();
}

void* runBody(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  // The body and whatever it captured are gone before the thread counts as ended.
  body.reset();
  threadEnded();
  return nullptr;
}

std::size_t roundedStack(std::size_t requested) {
  std::size_t bytes = requested < MINIMUM_THREAD_STACK ? MINIMUM_THREAD_STACK : requested;
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096;
  return (bytes + unit - 1) / unit * unit;
}

}  // namespace

Status startDetachedThread(std::function<void()> body, std::size_t stackBytes) {
  pthread_attr_t attributes;
  int error = ::pthread_attr_init(&attributes);
  if (error != 0) return Status::fromErrno(error, "pthread_attr_init");
  error = ::pthread_attr_setstacksize(&attributes, roundedStack(stackBytes));
  if (error == 0) error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (error != 0) {
    ::pthread_attr_destroy(&attributes);
    return Status::fromErrno(error, "pthread_attr_setstacksize");
  }
  auto* argument = new (std::nothrow) std::function<void()>(std::move(body));
  if (argument == nullptr) {
    ::pthread_attr_destroy(&attributes);
    return Status::fromErrno(ENOMEM, "pthread_create");
  }
  {
    std::lock_guard lock(liveMutex);
    ++liveThreads;
  }
  pthread_t thread;
  error = ::pthread_create(&thread, &attributes, runBody, argument);
  ::pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete argument;
    threadEnded();
    return Status::fromErrno(error, "pthread_create");
  }
  return Status::ok();
}

std::size_t liveThreadCount() {
  std::lock_guard lock(liveMutex);
  return liveThreads;
}

bool waitForNoLiveThreads(uint32_t milliseconds) {
  std::unique_lock lock(liveMutex);
  return liveChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [] { return liveThreads == 0; });
}

}  // namespace dovrel::platform
