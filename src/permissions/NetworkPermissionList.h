// The rules of the network permissions in file order, built whole from the file text and
// never changed afterwards: a list that is current may be read by the accept loop while a
// query builds its successor. Any thread once built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "permissions/NetworkPermission.h"

namespace dovrel::permissions {

class NetworkPermissionList : public Object {
 public:
  // Builds the list from the permission file's text: one rule per line, each line ending
  // with CR LF, nothing else; an empty text is an empty list. Throws TextError with the
  // first line's failure:
  //   "строка разрешений сетевого доступа >" line "< не заканчивается 0D 0A"
  //   "неожиданный формат строки разрешений сетевого доступа >" line "<"
  //   a rule's own message + " (строка " line ")"
  static std::shared_ptr<const NetworkPermissionList> parse(TextView text);

  // The verdict of all rules together: the first rule that allows the address decides;
  // otherwise MAC_NEEDED when any rule asks for the MAC; otherwise IP_NOT_MATCHED.
  IpVerdict checkIp(uint32_t ip) const;
  // True when some rule accepts the peer's MAC address. Always false for the MAC 0, which
  // stands for a peer missing from the ARP table.
  bool checkMac(uint32_t ip, uint64_t mac) const;
  // Every rule's text form followed by CR LF, in list order.
  std::string toText() const;

  std::size_t size() const { return rules_.size(); }

 private:
  std::vector<std::unique_ptr<const NetworkPermission>> rules_;
};

}  // namespace dovrel::permissions
