// The process-wide allocator of power-of-two byte blocks behind TextBuffer. Freed blocks
// up to LARGEST_POOLED bytes are kept per size class and reused, so steady traffic causes
// no heap traffic; larger blocks go back to the heap at once, so one huge request does not
// pin its memory for the life of the process. Thread-safe (one mutex around every call).
#pragma once

#include <cstdint>

namespace dovrel {

class BlockAllocator {
 public:
  // The largest block kept for reuse: one wire piece, the size the buffers of ordinary
  // queries and answers stay within.
  static constexpr uint64_t LARGEST_POOLED = 65536;

  // A block of `length` bytes (a power of two, at least 64, below 2^32). Takes a freed
  // block of that size when there is one. Throws std::bad_alloc when the heap refuses, or
  // when a test's AllocationGate refuses the call.
  static void* allocate(uint64_t length);
  // Gives a block obtained from allocate(length) back: to its size class up to
  // LARGEST_POOLED bytes, to the heap above.
  static void release(void* block, uint64_t length);
  // Bytes held in the free lists now (all threads).
  static uint64_t pooledBytes();
  // Size class of a power-of-two length (log2); asserts on any other length.
  static int sizeClass(uint64_t length);
};

}  // namespace dovrel
