// Aligned, zero-filled blocks for cluster and information buffers. Any thread may allocate;
// a buffer is used by one thread at a time.
#include "index/AlignedBuffer.h"

#include <cstring>
#include <mutex>

#include "foundation/AllocationGate.h"
#include "index/IndexFormat.h"

namespace dovrel::index {

namespace {

// Freed blocks of the sizes the engine uses most (clusters) are kept for the next
// allocation, up to a bound, so that a merge or the cache does not pay for fresh pages
// (a fault and the kernel's zeroing per 4 KiB) every time it needs a cluster buffer.
// Larger sets of blocks still go back to the heap. Any thread: a mutex guards the list.
class BlockRecycler {
 public:
  static constexpr std::size_t KEPT_BYTES = std::size_t{16} << 20;
  static constexpr std::size_t MIN_KEPT_SIZE = std::size_t{64} << 10;

  void* take(std::size_t size) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
      if (blocks_[i].size != size) continue;
      void* block = blocks_[i].block;
      blocks_[i] = blocks_[--count_];
      keptBytes_ -= size;
      return block;
    }
    return nullptr;
  }
  // Whether the block was kept; otherwise the caller frees it.
  bool keep(void* block, std::size_t size) {
    if (size < MIN_KEPT_SIZE) return false;
    std::lock_guard lock(mutex_);
    if (count_ == MAX_BLOCKS || keptBytes_ + size > KEPT_BYTES) return false;
    blocks_[count_++] = Block{block, size};
    keptBytes_ += size;
    return true;
  }

 private:
  struct Block {
    void* block;
    std::size_t size;
  };
  static constexpr std::size_t MAX_BLOCKS = 64;
  std::mutex mutex_;
  Block blocks_[MAX_BLOCKS] = {};
  std::size_t count_ = 0;
  std::size_t keptBytes_ = 0;
};

BlockRecycler& recycler() {
  // Never destroyed: buffers freed during static destruction still find it.
  static BlockRecycler* const shared = new BlockRecycler;
  return *shared;
}

}  // namespace

AlignedBuffer::~AlignedBuffer() {
  if (data_ == nullptr || recycler().keep(data_, size_)) return;
  ::operator delete (data_, std::align_val_t{IO_ALIGNMENT});
}

ErrorCode AlignedBuffer::allocate(std::size_t size, AlignedBuffer& out) {
  if (ErrorCode error = allocateUnfilled(size, out)) return error;
  std::memset(out.data_, 0, size);
  return EM_NO_ERRORS;
}

AlignedBuffer AlignedBuffer::allocateOptional(std::size_t size) {
  AlignedBuffer buffer;
  void* block = recycler().take(size);
  if (block == nullptr) block = ::operator new (size, std::align_val_t{IO_ALIGNMENT}, std::nothrow);
  if (block != nullptr) {
    buffer.data_ = static_cast<uint8_t*>(block);
    buffer.size_ = size;
  }
  return buffer;
}

ErrorCode AlignedBuffer::allocateUnfilled(std::size_t size, AlignedBuffer& out) {
  AlignedBuffer buffer;
  // A refused allocation is refused even when a kept block would serve: the fault tests
  // count on it.
  void* block = nullptr;
  if (!AllocationGate::refused(size)) {
    block = recycler().take(size);
    if (block == nullptr) {
      block = ::operator new (size, std::align_val_t{IO_ALIGNMENT}, std::nothrow);
    }
  }
  if (block == nullptr) {
    out = AlignedBuffer();
    return EM_NO_MEMORY;
  }
  buffer.data_ = static_cast<uint8_t*>(block);
  buffer.size_ = size;
  out = std::move(buffer);
  return EM_NO_ERRORS;
}

}  // namespace dovrel::index
