// Pooled allocation for the system's small objects. A class that derives from Poolable is
// allocated from a free list per exact size when it is below 1024 bytes (refilled 64
// objects at a time from one heap block), zero-filled before its constructor runs, and
// filled with 0xFE when released; larger objects use the heap. Pool memory is never
// returned to the heap. Thread-safe.
//
// Objects are shared through std::shared_ptr (owning) and std::weak_ptr (observing);
// std::dynamic_pointer_cast gives the checked downcast.
#pragma once

#include <cstddef>

namespace dovrel {

class Poolable {
 public:
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;
};

// The base of every class with run-time type information.
class Object : public Poolable {
 public:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
  virtual ~Object() = default;
};

// Bytes taken from the heap by the pools so far (for tests and diagnostics).
std::size_t poolHeapBytes();

}  // namespace dovrel
