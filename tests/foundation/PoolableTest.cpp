// Tests of the object pools: zero fill, reuse, refill in blocks of 64, the release fill,
// large objects, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/Poolable.h"

using namespace dovrel;

namespace {

// Members deliberately left uninitialised by the constructor.
struct Dirty : Poolable {
  Dirty() {}
  uint32_t words[20];
};

// A size no other test object has, so the pool for it starts empty in this process.
struct Odd : Poolable {
  char bytes[701];
};

struct Big : Poolable {
  Big() {}
  char bytes[4000];
};

struct Base : Object {
  int base = 1;
};
struct Derived : Base {
  char padding[200] = {};
  int derived = 2;
};

}  // namespace

TEST(PoolableTest, NewObjectsAreZeroFilledEvenAfterReuse) {
  auto* first = new Dirty;
  std::memset(first->words, 0xAB, sizeof first->words);
  auto firstAddress = reinterpret_cast<std::uintptr_t>(first);
  delete first;
  auto* second = new Dirty;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second), firstAddress);  // handed out again
  for (uint32_t w : second->words) EXPECT_EQ(w, 0u);
  delete second;
  auto* big = new Big;
  for (char c : big->bytes) ASSERT_EQ(c, 0);
  delete big;
}

TEST(PoolableTest, RefillsSixtyFourObjectsFromOneHeapBlock) {
  std::size_t before = poolHeapBytes();
  std::vector<Odd*> objects;
  objects.push_back(new Odd);
  std::size_t oneBlock = poolHeapBytes() - before;
  EXPECT_GE(oneBlock, 64 * sizeof(Odd));
  while (objects.size() < 64) objects.push_back(new Odd);
  EXPECT_EQ(poolHeapBytes() - before, oneBlock);
  objects.push_back(new Odd);
  EXPECT_EQ(poolHeapBytes() - before, 2 * oneBlock);
  for (Odd* o : objects) delete o;
  // Released objects serve the next requests; the pool does not grow.
  for (int i = 0; i < 65; ++i) objects[i] = new Odd;
  EXPECT_EQ(poolHeapBytes() - before, 2 * oneBlock);
  for (Odd* o : objects) delete o;
}

#if !defined(__SANITIZE_ADDRESS__)
// Sanitizer builds poison released objects instead; the next test covers that.
TEST(PoolableTest, ReleasedObjectIsFilledWith0xFE) {
  auto* d = new Dirty;
  auto address = reinterpret_cast<std::uintptr_t>(d);
  delete d;
  // The pool still owns the bytes; they are read through the address alone.
  auto* raw = reinterpret_cast<const volatile unsigned char*>(address);
  for (std::size_t i = 0; i < sizeof(Dirty); ++i) ASSERT_EQ(raw[i], 0xFE) << i;
}
#else
TEST(PoolableTest, UseAfterReleaseIsReportedInSanitizerBuilds) {
  EXPECT_DEATH(
      {
        auto* d = new Dirty;
        delete d;
        volatile uint32_t w = d->words[3];
        (void)w;
      },
      "use-after-poison");
}
#endif

TEST(PoolableTest, ObjectsSharedThroughHandlesUseTheirDynamicSize) {
  std::shared_ptr<Base> owner(new Derived);
  std::weak_ptr<Base> observer = owner;
  auto derived = std::dynamic_pointer_cast<Derived>(owner);
  ASSERT_NE(derived, nullptr);
  EXPECT_EQ(derived->derived, 2);
  EXPECT_EQ(std::dynamic_pointer_cast<Derived>(std::shared_ptr<Base>(new Base)), nullptr);
  owner.reset();
  derived.reset();
  EXPECT_TRUE(observer.expired());
  // Deleted through the base: the sized release must find the pool of the derived size.
  auto* again = new Derived;
  auto* base = new Base;
  EXPECT_EQ(again->derived, 2);
  EXPECT_EQ(base->base, 1);
  delete again;
  delete base;
}

TEST(PoolableTest, ThreadsAllocatingAtOnceGetDistinctObjects) {
  constexpr int THREADS = 4;
  constexpr int ROUNDS = 2000;
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t, &bad] {
      std::vector<Dirty*> mine;
      for (int i = 0; i < ROUNDS; ++i) {
        auto* d = new Dirty;
        if (d->words[0] != 0) ++bad;
        d->words[0] = t + 1;
        d->words[19] = i;
        mine.push_back(d);
        if (i % 3 == 2) {
          Dirty* last = mine.back();
          mine.pop_back();
          delete last;
        }
      }
      for (std::size_t i = 0; i < mine.size(); ++i) {
        if (mine[i]->words[0] != static_cast<uint32_t>(t + 1)) ++bad;
        delete mine[i];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}
