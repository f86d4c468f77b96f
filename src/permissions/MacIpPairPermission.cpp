// A permitted MAC/IP pair. Immutable; any thread.
#include "permissions/MacIpPairPermission.h"

#include "permissions/NetworkAddress.h"

namespace dovrel::permissions {

// The MAC is read first, so a line wrong in both places reports its MAC.
MacIpPairPermission::MacIpPairPermission(std::string_view mac, std::string_view ip)
    : mac_(macFromText(mac)), ip_(ipFromText(ip)) {}

IpVerdict MacIpPairPermission::checkIp(uint32_t ip) const {
  return ip == ip_ ? MAC_NEEDED : IP_NOT_MATCHED;
}

bool MacIpPairPermission::checkMac(uint32_t ip, uint64_t mac) const {
  return ip == ip_ && mac == mac_;
}

void MacIpPairPermission::write(TextBuffer& out) const {
  out.append(macToText(mac_));
  out.appendByte('&');
  out.append(ipToText(ip_));
}

}  // namespace dovrel::permissions
