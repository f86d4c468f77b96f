// A permitted range of addresses. Immutable; any thread.
#include "permissions/IpRangePermission.h"

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "permissions/NetworkAddress.h"

namespace dovrel::permissions {

IpRangePermission::IpRangePermission(std::string_view first, std::string_view last)
    : first_(ipFromText(first)), last_(ipFromText(last)) {
  if (last_ < first_) throw TextError("Неверный порядок пары"_cp866);
}

IpVerdict IpRangePermission::checkIp(uint32_t ip) const {
  return first_ <= ip && ip <= last_ ? IP_ALLOWED : IP_NOT_MATCHED;
}

bool IpRangePermission::checkMac(uint32_t, uint64_t) const { return false; }

void IpRangePermission::write(TextBuffer& out) const {
  out.append(ipToText(first_));
  out.appendByte('-');
  out.append(ipToText(last_));
}

}  // namespace dovrel::permissions
