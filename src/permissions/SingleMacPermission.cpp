// A permitted MAC address. Immutable; any thread.
#include "permissions/SingleMacPermission.h"

#include "permissions/NetworkAddress.h"

namespace dovrel::permissions {

SingleMacPermission::SingleMacPermission(std::string_view text) : mac_(macFromText(text)) {}

IpVerdict SingleMacPermission::checkIp(uint32_t) const { return MAC_NEEDED; }

bool SingleMacPermission::checkMac(uint32_t, uint64_t mac) const { return mac == mac_; }

void SingleMacPermission::write(TextBuffer& out) const { out.append(macToText(mac_)); }

}  // namespace dovrel::permissions
