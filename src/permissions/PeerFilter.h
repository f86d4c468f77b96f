// The permission check the accept loop makes before a connection gets its threads. Called on
// the main thread only, while queries on connection threads may replace the rules, so an
// implementation that can change guards its own rules.
#pragma once

#include <cstdint>

namespace dovrel::permissions {

class PeerFilter {
 public:
  virtual ~PeerFilter() = default;
  // Whether the peer with this IPv4 address (first octet most significant) may connect. A
  // refusal is printed by the accept loop; a filter may print its own detail first.
  virtual bool isAllowed(uint32_t ipAddress) = 0;
};

// Lets every peer in.
class AllowAllPeers final : public PeerFilter {
 public:
  bool isAllowed(uint32_t) override { return true; }
};

}  // namespace dovrel::permissions
