// A switch for fault tests that makes chosen allocations fail as if the heap had refused
// them. The allocations that a test may want to fail call AllocationGate::refused first:
// every block of the block allocator (request bodies, answers, every TextBuffer), the
// index cluster buffers and the page buffers of the storage files. Without an installed
// gate (always, outside tests) the check is one atomic load. Any thread.
#pragma once

#include <cstddef>

namespace dovrel {

class AllocationGate {
 public:
  virtual ~AllocationGate() = default;
  // True when an allocation of `bytes` is to fail. Called from any thread, concurrently.
  virtual bool refuse(std::size_t bytes) = 0;

  // Installs `gate` process-wide (nullptr removes it). Tests only: the caller keeps
  // ownership and removes the gate before destroying it, when no allocation can be
  // running through it any more.
  static void install(AllocationGate* gate);
  static AllocationGate* installed();
  // What the installed gate says about an allocation of `bytes`; false without a gate.
  static bool refused(std::size_t bytes);
};

}  // namespace dovrel
