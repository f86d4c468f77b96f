// The process-wide allocation gate. One atomic pointer; the gate itself does its own
// locking.
#include "foundation/AllocationGate.h"

#include <atomic>

namespace dovrel {

namespace {

std::atomic<AllocationGate*> current{nullptr};

}  // namespace

void AllocationGate::install(AllocationGate* gate) { current.store(gate); }

AllocationGate* AllocationGate::installed() { return current.load(); }

bool AllocationGate::refused(std::size_t bytes) {
  AllocationGate* gate = current.load(std::memory_order_acquire);
  return gate != nullptr && gate->refuse(bytes);
}

}  // namespace dovrel
