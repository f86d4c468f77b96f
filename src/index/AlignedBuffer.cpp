// Aligned, zero-filled blocks for cluster and information buffers. Any thread may allocate;
// a buffer is used by one thread at a time.
#include "index/AlignedBuffer.h"

#include <cstring>

#include "foundation/AllocationGate.h"
#include "index/IndexFormat.h"

namespace dovrel::index {

AlignedBuffer::~AlignedBuffer() {
  if (data_ != nullptr) ::operator delete (data_, std::align_val_t{IO_ALIGNMENT});
}

AlignedBuffer AlignedBuffer::allocate(std::size_t size, ErrorCode& error) {
  AlignedBuffer buffer;
  void* block = AllocationGate::refused(size)
                    ? nullptr
                    : ::operator new (size, std::align_val_t{IO_ALIGNMENT}, std::nothrow);
  if (block == nullptr) {
    error = EM_NO_MEMORY;
    return buffer;
  }
  std::memset(block, 0, size);
  buffer.data_ = static_cast<uint8_t*>(block);
  buffer.size_ = size;
  return buffer;
}

}  // namespace dovrel::index
