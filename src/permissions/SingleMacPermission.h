// The rule "xx-xx-xx-xx-xx-xx": a peer of any IPv4 address may connect when the system's
// ARP table gives it this MAC address. Immutable; any thread.
#pragma once

#include <string_view>

#include "permissions/NetworkPermission.h"

namespace dovrel::permissions {

class SingleMacPermission final : public NetworkPermission {
 public:
  // Throws TextError when the text is not a normalised MAC address (see macFromText).
  explicit SingleMacPermission(std::string_view text);

  IpVerdict checkIp(uint32_t ip) const override;  // always MAC_NEEDED
  bool checkMac(uint32_t ip, uint64_t mac) const override;
  void write(TextBuffer& out) const override;

 private:
  uint64_t mac_;
};

}  // namespace dovrel::permissions
