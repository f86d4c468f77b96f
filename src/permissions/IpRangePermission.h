// The rule "a.b.c.d-e.f.g.h": every IPv4 address from the first to the last, both
// included, may connect. Immutable; any thread.
#pragma once

#include <string_view>

#include "permissions/NetworkPermission.h"

namespace dovrel::permissions {

class IpRangePermission final : public NetworkPermission {
 public:
  // `first` and `last` are the texts on either side of the first "-". Throws TextError when
  // either is not a normalised address, or "Неверный порядок пары" when last < first.
  IpRangePermission(std::string_view first, std::string_view last);

  IpVerdict checkIp(uint32_t ip) const override;
  bool checkMac(uint32_t ip, uint64_t mac) const override;
  void write(TextBuffer& out) const override;

 private:
  uint32_t first_;
  uint32_t last_;
};

}  // namespace dovrel::permissions
