// The rule "a.b.c.d": one IPv4 address may connect. Immutable; any thread.
#pragma once

#include <string_view>

#include "permissions/NetworkPermission.h"

namespace dovrel::permissions {

class SingleIpPermission final : public NetworkPermission {
 public:
  // Throws TextError when the text is not a normalised address (see ipFromText).
  explicit SingleIpPermission(std::string_view text);

  IpVerdict checkIp(uint32_t ip) const override;
  bool checkMac(uint32_t ip, uint64_t mac) const override;
  void write(TextBuffer& out) const override;

 private:
  uint32_t ip_;
};

}  // namespace dovrel::permissions
