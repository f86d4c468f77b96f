// The system's ARP table (peer IPv4 address -> MAC address), read for the MAC rules of the
// network permissions. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel::platform {

// Where Linux shows its ARP table.
inline constexpr const char* ARP_TABLE_PATH = "/proc/net/arp";

// The MAC address of `ipv4` (first octet most significant) in the table at `tablePath`:
// 6 bytes in a uint64, first byte most significant. 0 when the address has no complete
// entry (an entry still being resolved has flags 0x0 or MAC 00:00:00:00:00:00) or when the
// table cannot be read.
uint64_t lookupMac(uint32_t ipv4, const std::string& tablePath = ARP_TABLE_PATH);

// The same over the table's text (a heading line, then one line per entry: address, hardware
// type, flags, MAC, mask, device). Lines that do not parse are skipped.
uint64_t findMacInArpTable(std::string_view table, uint32_t ipv4);

}  // namespace dovrel::platform
