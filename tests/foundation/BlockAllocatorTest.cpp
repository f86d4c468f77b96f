// Tests of the block allocator: reuse of released blocks per class, large blocks going
// back to the system, its fatal checks, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/BlockAllocator.h"
#include "foundation/TextBuffer.h"

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

namespace {

// The resident size of this process in kB.
long residentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

TEST(BlockAllocatorTest, HugeBufferGoesBackToTheSystemWhenReleased) {
  // Regression: every released block used to stay on its free list, so one huge request
  // body kept its memory resident for the life of the process.
  const uint64_t pooledBefore = BlockAllocator::pooledBytes();
  constexpr uint64_t HUGE_LENGTH = uint64_t{200} << 20;
  long held = 0;
  {
    TextBuffer body;
    body.resize(HUGE_LENGTH);
    std::memset(body.pointer(), 'x', HUGE_LENGTH);
    held = residentKb();
  }
  // Only the buffer's first 64-byte block went onto a free list.
  EXPECT_LE(BlockAllocator::pooledBytes(), pooledBefore + 64);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's allocator keeps freed memory in quarantine
  EXPECT_LT(residentKb(), held - 150 * 1024) << "resident while held: " << held << " kB";
#else
  (void)held;
#endif
}

TEST(BlockAllocatorTest, BlocksUpToTheLargestPooledSizeAreStillReused) {
  const uint64_t pooledBefore = BlockAllocator::pooledBytes();
  void* largest = BlockAllocator::allocate(BlockAllocator::LARGEST_POOLED);
  BlockAllocator::release(largest, BlockAllocator::LARGEST_POOLED);
  EXPECT_EQ(BlockAllocator::pooledBytes(), pooledBefore + BlockAllocator::LARGEST_POOLED);
  EXPECT_EQ(BlockAllocator::allocate(BlockAllocator::LARGEST_POOLED), largest);
  EXPECT_EQ(BlockAllocator::pooledBytes(), pooledBefore);
  BlockAllocator::release(largest, BlockAllocator::LARGEST_POOLED);

  void* above = BlockAllocator::allocate(2 * BlockAllocator::LARGEST_POOLED);
  BlockAllocator::release(above, 2 * BlockAllocator::LARGEST_POOLED);
  EXPECT_EQ(BlockAllocator::pooledBytes(), pooledBefore + BlockAllocator::LARGEST_POOLED);
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
