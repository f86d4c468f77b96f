// The process-wide allocator of power-of-two byte blocks behind TextBuffer. Freed blocks
// are kept per size class and reused, so steady traffic causes no heap traffic; the
// memory it holds only grows. Thread-safe (one mutex around every call).
#pragma once

#include <cstdint>

namespace dovrel {

class BlockAllocator {
 public:
  // A block of `length` bytes (a power of two, at least 64, below 2^32). Takes a freed
  // block of that size when there is one. Throws std::bad_alloc when the heap refuses.
  static void* allocate(uint64_t length);
  // Gives a block obtained from allocate(length) back to its size class.
  static void release(void* block, uint64_t length);
  // Size class of a power-of-two length (log2); asserts on any other length.
  static int sizeClass(uint64_t length);
};

}  // namespace dovrel
