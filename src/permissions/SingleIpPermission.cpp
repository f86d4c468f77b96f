// A single permitted address. Immutable; any thread.
#include "permissions/SingleIpPermission.h"

#include "permissions/NetworkAddress.h"

namespace dovrel::permissions {

SingleIpPermission::SingleIpPermission(std::string_view text) : ip_(ipFromText(text)) {}

IpVerdict SingleIpPermission::checkIp(uint32_t ip) const {
  return ip == ip_ ? IP_ALLOWED : IP_NOT_MATCHED;
}

bool SingleIpPermission::checkMac(uint32_t, uint64_t) const { return false; }

void SingleIpPermission::write(TextBuffer& out) const { out.append(ipToText(ip_)); }

}  // namespace dovrel::permissions
