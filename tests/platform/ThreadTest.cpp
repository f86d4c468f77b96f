// Detached threads: the stack size asked for, the live count, and failures reported
// instead of thrown.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <latch>

#include "platform/Thread.h"

namespace dovrel::platform {
namespace {

std::size_t ownStackSize() {
  pthread_attr_t attributes;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size;
}

TEST(ThreadTest, StackIsAtLeastTheRequestAndNeverBelowTheMinimum) {
  for (std::size_t requested : {std::size_t{4096}, std::size_t{3 * 1024 * 1024 + 100}}) {
    std::atomic<std::size_t> seen{0};
    std::latch done(1);
    ASSERT_TRUE(startDetachedThread(
        [&] {
          seen = ownStackSize();
          done.count_down();
        },
        requested));
    done.wait();
    EXPECT_GE(seen.load(), std::max(requested, MINIMUM_THREAD_STACK)) << requested;
  }
  EXPECT_TRUE(waitForNoLiveThreads(5000));
}

TEST(ThreadTest, LiveCountFollowsTheThreadsAndReturnsToZero) {
  ASSERT_TRUE(waitForNoLiveThreads(5000));
  constexpr int THREADS = 8;
  std::latch release(1);
  std::latch started(THREADS);
  for (int i = 0; i < THREADS; ++i) {
    ASSERT_TRUE(startDetachedThread([&] {
      started.count_down();
      release.wait();
    }));
  }
  started.wait();
  EXPECT_EQ(liveThreadCount(), static_cast<std::size_t>(THREADS));
  EXPECT_FALSE(waitForNoLiveThreads(10));
  release.count_down();
  EXPECT_TRUE(waitForNoLiveThreads(5000));
  EXPECT_EQ(liveThreadCount(), 0u);
}

TEST(ThreadTest, ImpossibleStackIsReportedAndCountsNothing) {
  ASSERT_TRUE(waitForNoLiveThreads(5000));
  bool ran = false;
  // No address space holds a stack this large.
  Status status = startDetachedThread([&] { ran = true; }, std::size_t{1} << 62);
  EXPECT_FALSE(status);
  EXPECT_EQ(liveThreadCount(), 0u);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace dovrel::platform
