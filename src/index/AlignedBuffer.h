// Memory for the index engine, which reports a failed allocation as EM_NO_MEMORY instead
// of throwing: zero-filled, I/O-aligned byte blocks, and a guard for standard containers.
// Objects are owned by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "foundation/ErrorCode.h"

namespace dovrel::index {

// A zero-filled block aligned to IO_ALIGNMENT, so that unbuffered file I/O can use it
// directly. Move-only; frees the block when destroyed.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  AlignedBuffer(AlignedBuffer&& other) noexcept { swap(other); }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    AlignedBuffer(std::move(other)).swap(*this);
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  ~AlignedBuffer();

  // Allocates `size` zero bytes into `out`; EM_NO_MEMORY leaves `out` empty.
  static ErrorCode allocate(std::size_t size, AlignedBuffer& out);
  // The same without the zeroing: for a caller that writes every byte itself.
  static ErrorCode allocateUnfilled(std::size_t size, AlignedBuffer& out);
  // An unfilled buffer that the caller can do without (a copy for the cluster cache): empty
  // when memory is short, and no allocation failure the fault tests inject falls on it.
  static AlignedBuffer allocateOptional(std::size_t size);

  uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void swap(AlignedBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Runs `work` (which may grow standard containers) and turns std::bad_alloc into
// EM_NO_MEMORY. After a failure the containers are as the standard library leaves them
// after a failed growth (unchanged for push_back/reserve).
template <class Work>
ErrorCode guardAllocation(Work&& work) {
  try {
    work();
    return EM_NO_ERRORS;
  } catch (const std::bad_alloc&) {
    return EM_NO_MEMORY;
  }
}

}  // namespace dovrel::index
