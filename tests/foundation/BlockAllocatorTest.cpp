// Tests of the block allocator: reuse of released blocks per class, its
// fatal checks, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/BlockAllocator.h"

using namespace dovrel;

TEST(BlockAllocatorTest, ReleasedBlocksAreReusedWithinTheirClassOnly) {
  void* a = BlockAllocator::allocate(256);
  std::memset(a, 1, 256);
  BlockAllocator::release(a, 256);
  void* other = BlockAllocator::allocate(512);
  EXPECT_NE(other, a);
  void* b = BlockAllocator::allocate(256);
  EXPECT_EQ(b, a);
  std::memset(b, 2, 256);  // the whole block is usable again
  BlockAllocator::release(b, 256);
  BlockAllocator::release(other, 512);
}

TEST(BlockAllocatorTest, MisuseStops) {
  EXPECT_EXIT(BlockAllocator::allocate(32), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(BlockAllocator::allocate(96), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(BlockAllocator::sizeClass(0), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(BlockAllocator::sizeClass(uint64_t{1} << 32), ::testing::ExitedWithCode(3), "");
}

#if defined(__SANITIZE_ADDRESS__)
TEST(BlockAllocatorTest, UseAfterReleaseIsReportedInSanitizerBuilds) {
  EXPECT_DEATH(
      {
        auto* p = static_cast<volatile char*>(BlockAllocator::allocate(64));
        BlockAllocator::release(const_cast<char*>(p), 64);
        p[0] = 1;
      },
      "use-after-poison");
}
#endif

TEST(BlockAllocatorTest, ThreadsShareTheFreeLists) {
  constexpr int THREADS = 4;
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 3000; ++i) {
        uint64_t length = uint64_t{64} << (i % 5);
        auto* p = static_cast<unsigned char*>(BlockAllocator::allocate(length));
        std::memset(p, t, length);
        std::this_thread::yield();
        for (uint64_t k = 0; k < length; k += 31) {
          if (p[k] != t) ++bad;
        }
        BlockAllocator::release(p, length);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}
