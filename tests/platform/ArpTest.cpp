// Finding a peer's MAC address in an ARP table like the one Linux shows.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Arp.h"
#include "support/TempDir.h"

namespace dovrel::platform {
namespace {

constexpr const char* TABLE =
    "IP address       HW type     Flags       HW address            Mask     Device\n"
    "192.168.1.1      0x1         0x2         00:1a:2b:3c:4d:5e     *        eth0\n"
    "10.0.0.7         0x1         0x0         00:00:00:00:00:00     *        eth0\n"
    "10.0.0.8         0x1         0x2         00:00:00:00:00:00     *        eth0\n"
    "10.0.0.9         0x1         0x0         de:ad:be:ef:00:01     *        eth0\n"
    "172.16.0.5       0x1         0x0         00:00:00:00:00:00     *        eth1\n"
    "172.16.0.5       0x1         0x6         FE:DC:BA:98:76:54     *        eth0\n"
    "garbage line\n"
    "10.0.0.10        0x1         0x2         00:11:22:33:44\n";

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(ArpTest, CompleteEntryGivesTheMacFirstByteMostSignificant) {
  EXPECT_EQ(findMacInArpTable(TABLE, ip(192, 168, 1, 1)), 0x001A2B3C4D5Eu);
}

TEST(ArpTest, IncompleteEntriesCountAsNotFound) {
  EXPECT_EQ(findMacInArpTable(TABLE, ip(10, 0, 0, 7)), 0u);  // flags 0x0, no MAC
  EXPECT_EQ(findMacInArpTable(TABLE, ip(10, 0, 0, 8)), 0u);  // MAC all zero
  EXPECT_EQ(findMacInArpTable(TABLE, ip(10, 0, 0, 9)), 0u);  // flags 0x0
}

TEST(ArpTest, CompleteEntryOnAnotherDeviceIsFoundAfterAnIncompleteOne) {
  EXPECT_EQ(findMacInArpTable(TABLE, ip(172, 16, 0, 5)), 0xFEDCBA987654u);
}

TEST(ArpTest, MissingAddressesAndDamagedLinesGiveZero) {
  EXPECT_EQ(findMacInArpTable(TABLE, ip(192, 168, 1, 2)), 0u);
  EXPECT_EQ(findMacInArpTable(TABLE, ip(10, 0, 0, 10)), 0u);  // MAC cut short
  EXPECT_EQ(findMacInArpTable("", ip(192, 168, 1, 1)), 0u);
  // The heading line is never taken for an entry.
  EXPECT_EQ(findMacInArpTable("192.168.1.1 0x1 0x2 00:1a:2b:3c:4d:5e * eth0\n", ip(192, 168, 1, 1)),
            0u);
}

TEST(ArpTest, LookupReadsTheTableFileAndToleratesAMissingOne) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.valid());
  std::ofstream(dir.file("arp")) << TABLE;
  EXPECT_EQ(lookupMac(ip(192, 168, 1, 1), dir.file("arp")), 0x001A2B3C4D5Eu);
  EXPECT_EQ(lookupMac(ip(192, 168, 1, 1), dir.file("none")), 0u);
  // The real table answers too (loopback never has an entry).
  EXPECT_EQ(lookupMac(ip(127, 0, 0, 1)), 0u);
}

}  // namespace
}  // namespace dovrel::platform
