// The object pools behind Poolable: one free list per exact object size below 1024 bytes,
// refilled 64 objects at a time from one heap block and never given back. The design
// creates and destroys pooled objects on one thread at a time; the mutex makes any other
// use safe as well.
#include "foundation/Poolable.h"

#include <cstring>
#include <mutex>
#include <new>

#include "foundation/SanitizerHooks.h"

namespace dovrel {

namespace {

constexpr std::size_t POOLED_LIMIT = 1024;  // objects of this size or more use the heap
constexpr std::size_t REFILL_COUNT = 64;
constexpr std::size_t SLOT_ALIGN = alignof(std::max_align_t);

struct Pools {
  std::mutex mutex;
  char* heads[POOLED_LIMIT] = {};  // free slots, indexed by the exact object size
  std::size_t heapBytes = 0;
};

// Never destroyed, so objects deleted during static destruction still find their pool.
Pools& pools() {
  static Pools* instance = new Pools;
  return *instance;
}

// Objects are carved at a stride that keeps every slot aligned for any type. The free-list
// link lives in the slot's last word, past the object's bytes, so a released object shows
// its 0xFE fill whole (a stale virtual call then fails at once instead of following a link).
constexpr std::size_t slotSize(std::size_t size) {
  return (size + sizeof(char*) + SLOT_ALIGN - 1) / SLOT_ALIGN * SLOT_ALIGN;
}

char*& linkOf(char* slot, std::size_t size) {
  return *reinterpret_cast<char**>(slot + slotSize(size) - sizeof(char*));
}

void pushFree(Pools& p, std::size_t size, char* slot) {
  new (slot + slotSize(size) - sizeof(char*)) char*(p.heads[size]);
  p.heads[size] = slot;
  // Only the object's bytes are poisoned: the leak checker follows the link, so pool memory
  // stays reachable.
  DOVREL_POISON(slot, size);
}

}  // namespace

void* Poolable::operator new(std::size_t size) {
  if (size == 0) size = 1;
  if (size >= POOLED_LIMIT) {
    void* object = ::operator new(size);
    std::memset(object, 0, size);
    return object;
  }
  Pools& p = pools();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.heads[size] == nullptr) {
    std::size_t stride = slotSize(size);
    auto* block = static_cast<char*>(::operator new(stride* REFILL_COUNT));
    p.heapBytes += stride * REFILL_COUNT;
    // Pushed in reverse so the pool hands the block out from its start.
    for (std::size_t i = REFILL_COUNT; i-- > 0;) pushFree(p, size, block + i * stride);
  }
  char* object = p.heads[size];
  DOVREL_UNPOISON(object, slotSize(size));
  p.heads[size] = linkOf(object, size);
  // Zero before the constructor runs: members a constructor leaves alone start as 0.
  std::memset(static_cast<void*>(object), 0, size);
  return object;
}

void Poolable::operator delete(void* object, std::size_t size) noexcept {
  if (object == nullptr) return;
  if (size == 0) size = 1;
  // 0xFE marks a released object, so a stale pointer reads obvious garbage.
  std::memset(object, 0xFE, size);
  if (size >= POOLED_LIMIT) {
    ::operator delete(object);
    return;
  }
  Pools& p = pools();
  std::lock_guard<std::mutex> lock(p.mutex);
  pushFree(p, size, static_cast<char*>(object));
}

std::size_t poolHeapBytes() {
  Pools& p = pools();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.heapBytes;
}

}  // namespace dovrel
