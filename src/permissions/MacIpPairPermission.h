// The rule "xx-xx-xx-xx-xx-xx&a.b.c.d": the peer with this IPv4 address may connect when the
// system's ARP table gives it this MAC address. Immutable; any thread.
#pragma once

#include <string_view>

#include "permissions/NetworkPermission.h"

namespace dovrel::permissions {

class MacIpPairPermission final : public NetworkPermission {
 public:
  // `mac` and `ip` are the texts before and after the first "&". Throws TextError when
  // either is not normalised.
  MacIpPairPermission(std::string_view mac, std::string_view ip);

  IpVerdict checkIp(uint32_t ip) const override;  // MAC_NEEDED for its own address
  bool checkMac(uint32_t ip, uint64_t mac) const override;
  void write(TextBuffer& out) const override;

 private:
  uint64_t mac_;
  uint32_t ip_;
};

}  // namespace dovrel::permissions
