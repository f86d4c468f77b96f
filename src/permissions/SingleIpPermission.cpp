// A single permitted address. Immutable; any thread.
#include "server/SingleIpPermission.h"

#include "server/NetworkAddress.h"

namespace dovrel::server {

SingleIpPermission::SingleIpPermission(std::string_view text) : ip_(ipFromText(text)) {}

IpVerdict SingleIpPermission::checkIp(uint32_t ip) const {
  return ip == ip_ ? IP_ALLOWED : IP_NOT_MATCHED;
}

bool SingleIpPermission::checkMac(uint32_t, uint64_t) const { return false; }

void SingleIpPermission::write(TextBuffer& out) const { out.append(ipToText(ip_)); }

}  // namespace dovrel::server
