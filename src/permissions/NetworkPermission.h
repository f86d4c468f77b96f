// One rule of the network permissions: a single IPv4 address, an address range, a MAC
// address, or a MAC/IP pair. Rules are immutable once built, so any thread may check them
// while the list that holds them is current.
#pragma once

#include <cstdint>

#include "foundation/Poolable.h"
#include "foundation/TextBuffer.h"

namespace dovrel::permissions {

// What a rule says about a peer's IP address, in order of precedence: when rules disagree,
// the first of these wins.
enum IpVerdict {
  IP_ALLOWED,      // the address alone lets the peer in
  MAC_NEEDED,      // the peer may come in if its MAC address matches a rule
  IP_NOT_MATCHED,  // this rule says nothing for the address
};

class NetworkPermission : public Object {
 public:
  virtual IpVerdict checkIp(uint32_t ip) const = 0;
  // Asked only after some rule answered MAC_NEEDED; `mac` is the peer's address from the
  // system's ARP table. The list never asks with 0 (a peer missing from the table).
  virtual bool checkMac(uint32_t ip, uint64_t mac) const = 0;
  // Appends the rule's text form, the exact text that builds it (no line end).
  virtual void write(TextBuffer& out) const = 0;
};

}  // namespace dovrel::permissions
