// Detached threads with a requested stack size, and a count of those still running so that
// tests and the load test can check that no connection thread is left behind. Every
// function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Env.h"

namespace dovrel::platform {

// The smallest stack a thread gets, whatever is asked: the request parser recurses.
inline constexpr std::size_t MINIMUM_THREAD_STACK = 1024 * 1024;

// Starts `body` on a new detached thread whose stack holds at least `stackBytes` (and at
// least MINIMUM_THREAD_STACK). On failure nothing runs and the errno is returned (EAGAIN
// when the system is out of threads); no exception is thrown. `body` must not throw.
Status startDetachedThread(std::function<void()> body, std::size_t stackBytes = 0);

// Threads started by startDetachedThread whose body has not returned yet.
std::size_t liveThreadCount();

// Waits until liveThreadCount() is 0 or `milliseconds` have passed; true when it is 0.
bool waitForNoLiveThreads(uint32_t milliseconds);

}  // namespace dovrel::platform
