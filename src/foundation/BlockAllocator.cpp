// The process-wide power-of-two block allocator. Connection threads build request and
// answer buffers with it outside the query lock, so every call takes its one mutex; the
// heap is asked for a new block, and given back a large one, outside the mutex.
#include "foundation/BlockAllocator.h"

#include <mutex>
#include <new>

#include "foundation/AllocationGate.h"
#include "foundation/Assert.h"
#include "foundation/SanitizerHooks.h"

namespace dovrel {

namespace {

constexpr int SIZE_CLASSES = 32;

// A freed block holds the link to the next free block of its class in its last word
// (the rest of it is poisoned in sanitizer builds; the link stays readable so the leak
// checker sees the blocks as reachable).
struct FreeBlock {
  void* next;  // the start of the next free block
};

FreeBlock* linkSlot(void* block, uint64_t length) {
  return reinterpret_cast<FreeBlock*>(static_cast<char*>(block) + length - sizeof(FreeBlock));
}

struct FreeLists {
  std::mutex mutex;
  void* heads[SIZE_CLASSES] = {};  // the first free block of each class
  uint64_t pooledBytes = 0;        // the sum of the free blocks' lengths
};

// Never destroyed: buffers released during static destruction still find their list, and
// the blocks stay reachable (not leaks) until the process ends.
FreeLists& lists() {
  static FreeLists* instance = new FreeLists;
  return *instance;
}

}  // namespace

int BlockAllocator::sizeClass(uint64_t length) {
  int pow = 0;
  while (length != 1) {
    DOVREL_ASSERT((length & 1) == 0);
    length >>= 1;
    ++pow;
    DOVREL_ASSERT(pow < 32);
  }
  return pow;
}

void* BlockAllocator::allocate(uint64_t length) {
  DOVREL_ASSERT(length >= 64);
  int pow = sizeClass(length);
  if (AllocationGate::refused(static_cast<std::size_t>(length))) throw std::bad_alloc();
  FreeLists& free = lists();
  if (length <= LARGEST_POOLED) {
    std::lock_guard<std::mutex> lock(free.mutex);
    if (void* block = free.heads[pow]) {
      DOVREL_UNPOISON(block, static_cast<std::size_t>(length));
      free.heads[pow] = linkSlot(block, length)->next;
      free.pooledBytes -= length;
      return block;
    }
  }
  return ::operator new(static_cast<std::size_t>(length));  // std::bad_alloc passes on
}

void BlockAllocator::release(void* block, uint64_t length) {
  DOVREL_ASSERT(block != nullptr);
  DOVREL_ASSERT(length >= 64);
  int pow = sizeClass(length);
  if (length > LARGEST_POOLED) {
    // A block this large is rare (a huge request or answer); kept, it would stay resident
    // for the life of the process.
    ::operator delete(block);
    return;
  }
  FreeLists& free = lists();
  std::lock_guard<std::mutex> lock(free.mutex);
  new (linkSlot(block, length)) FreeBlock{free.heads[pow]};
  free.heads[pow] = block;
  free.pooledBytes += length;
  // Poisoned while free: a buffer still used after its release shows up in sanitizer
  // builds instead of silently corrupting the next owner's bytes.
  DOVREL_POISON(block, static_cast<std::size_t>(length - sizeof(FreeBlock)));
}

uint64_t BlockAllocator::pooledBytes() {
  FreeLists& free = lists();
  std::lock_guard<std::mutex> lock(free.mutex);
  return free.pooledBytes;
}

}  // namespace dovrel
