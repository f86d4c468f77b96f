// The process's resource limits that the server sizes itself by: the number of open
// descriptors. Called by the accept loop on the main thread before it takes connections.
#pragma once

#include <cstdint>

namespace dovrel::platform {

// Raises the soft limit on open descriptors to the hard limit, so that every descriptor
// the administrator allows can be used, and returns the limit now in force (the old one
// when it cannot be raised; 0 when it cannot be read).
uint64_t raiseDescriptorLimit();

}  // namespace dovrel::platform
