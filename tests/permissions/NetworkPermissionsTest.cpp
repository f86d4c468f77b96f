// Tests of the network permissions: the file format and its messages, the address texts,
// the verdicts of the four kinds of rule and their precedence, the MAC look-up through a
// fake ARP table, replacing the list (on a parse error, on a failed save, and while the
// accept loop checks peers from other threads).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "permissions/NetworkAddress.h"
#include "permissions/NetworkPermissions.h"
#include "platform/FaultInjectionEnv.h"
#include "server/FileTestSupport.h"

namespace dovrel::permissions {
namespace {

using server::testing::ConsoleCapture;
using server::testing::readFile;
using server::testing::TempDir;
using server::testing::writeFile;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::string parseError(std::string_view text) {
  try {
    NetworkPermissionList::parse(TextView(text));
  } catch (const TextError& error) {
    return error.text();
  }
  return "(parsed)";
}

std::string cp866(std::string_view utf8) { return utf8ToCp866(utf8); }

// ---------------------------------------------------------------------------------------
// Address texts

struct AddressCase {
  std::string text;
  std::string error;  // UTF-8; empty when the text is accepted
};

class IpTextTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(IpTextTest, AcceptsOnlyTheNormalisedForm) {
  const AddressCase& c = GetParam();
  if (c.error.empty()) {
    EXPECT_EQ(ipToText(ipFromText(c.text)), c.text);
    return;
  }
  try {
    ipFromText(c.text);
    ADD_FAILURE() << "accepted " << c.text;
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), cp866(c.error)) << c.text;
  }
}

const std::string IP_COUNT = "Не удалось прочитать 4 компоненты IP-адреса";
const std::string IP_RANGE = "Значения байтов IP-адреса вне диапазона 0..255";
const std::string IP_FORM = "Лишние данные или денормализованный IP-адрес";

INSTANTIATE_TEST_SUITE_P(
    Cases, IpTextTest,
    ::testing::Values(AddressCase{"0.0.0.0", ""}, AddressCase{"255.255.255.255", ""},
                      AddressCase{"10.0.0.1", ""}, AddressCase{"", IP_COUNT},
                      AddressCase{"10.0.0", IP_COUNT}, AddressCase{"1000.0.0.1", IP_COUNT},
                      AddressCase{"a.b.c.d", IP_COUNT}, AddressCase{"256.0.0.1", IP_RANGE},
                      AddressCase{"10.0.0.-1", IP_RANGE}, AddressCase{"010.0.0.1", IP_FORM},
                      AddressCase{"10.0.0.1 ", IP_FORM}, AddressCase{" 10.0.0.1", IP_FORM},
                      AddressCase{"10. 0.0.1", IP_FORM}, AddressCase{"+10.0.0.1", IP_FORM},
                      AddressCase{"10.0.0.1.5", IP_FORM},
                      AddressCase{std::string("10.0.0.1\0", 9), IP_FORM}));

class MacTextTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(MacTextTest, AcceptsOnlyTwoLowerCaseDigitsPerByte) {
  const AddressCase& c = GetParam();
  if (c.error.empty()) {
    EXPECT_EQ(macToText(macFromText(c.text)), c.text);
    return;
  }
  try {
    macFromText(c.text);
    ADD_FAILURE() << "accepted " << c.text;
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), cp866(c.error)) << c.text;
  }
}

const std::string MAC_COUNT = "Не удалось прочитать 6 компонент MAC-адреса";
const std::string MAC_FORM = "Лишние данные или денормализованный MAC-адрес";

INSTANTIATE_TEST_SUITE_P(Cases, MacTextTest,
                         ::testing::Values(AddressCase{"00-1a-2b-3c-4d-5e", ""},
                                           AddressCase{"ff-ff-ff-ff-ff-ff", ""},
                                           AddressCase{"00-00-00-00-00-00", ""},
                                           AddressCase{"00-1a-2b-3c-4d", MAC_COUNT},
                                           AddressCase{"00:1a:2b:3c:4d:5e", MAC_COUNT},
                                           AddressCase{"001-1a-2b-3c-4d-5e", MAC_COUNT},
                                           AddressCase{"00-1A-2B-3C-4D-5E", MAC_FORM},
                                           AddressCase{"0-1a-2b-3c-4d-5e", MAC_FORM},
                                           AddressCase{"00-1a-2b-3c-4d-5e-", MAC_FORM},
                                           AddressCase{"00-1a-2b-3c-4d--1", MAC_FORM}));

TEST(NetworkAddressTest, MacBytesGoFirstByteMostSignificant) {
  EXPECT_EQ(macFromText("01-02-03-04-05-06"), 0x010203040506u);
  EXPECT_EQ(macToText(0x0a0b0c0d0e0fu), "0a-0b-0c-0d-0e-0f");
  EXPECT_EQ(ipFromText("1.2.3.4"), ip(1, 2, 3, 4));
}

// ---------------------------------------------------------------------------------------
// The file format

struct FormatCase {
  std::string text;
  std::string error;  // UTF-8
};

class PermissionFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PermissionFormatTest, RefusesWithTheLineInTheMessage) {
  EXPECT_EQ(parseError(GetParam().text), cp866(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PermissionFormatTest,
    ::testing::Values(
        FormatCase{"10.0.0.5-10.0.0.1\r\n", "Неверный порядок пары (строка 10.0.0.5-10.0.0.1)"},
        FormatCase{"010.0.0.1\r\n", IP_FORM + " (строка 010.0.0.1)"},
        FormatCase{"10.0.0.1 \r\n", IP_FORM + " (строка 10.0.0.1 )"},
        FormatCase{"00-1A-2B-3C-4D-5E\r\n", MAC_FORM + " (строка 00-1A-2B-3C-4D-5E)"},
        FormatCase{"10.0.0.1\r\n10.0.0.2",
                   "строка разрешений сетевого доступа >10.0.0.2< не заканчивается 0D 0A"},
        FormatCase{"10.0.0.1\n",
                   "строка разрешений сетевого доступа >10.0.0.1\n< не "
                   "заканчивается 0D 0A"},
        FormatCase{"10.0.0.1\r\n\r\n", "неожиданный формат строки разрешений сетевого доступа ><"},
        FormatCase{"anything\r\n",
                   "неожиданный формат строки разрешений сетевого доступа "
                   ">anything<"},
        FormatCase{"10.0.0.1-x\r\n", IP_COUNT + " (строка 10.0.0.1-x)"},
        FormatCase{"00-1a-2b-3c-4d-5e&10.0.0.01\r\n",
                   IP_FORM + " (строка 00-1a-2b-3c-4d-5e&10.0.0.01)"},
        FormatCase{"00-1a-2b-3c-4d&10.0.0.1\r\n", MAC_COUNT + " (строка 00-1a-2b-3c-4d&10.0.0.1)"},
        FormatCase{"10.0.0.1&00-1a-2b-3c-4d-5e\r\n",
                   MAC_COUNT + " (строка 10.0.0.1&00-1a-2b-3c-4d-5e)"}));

TEST(PermissionListTest, TextOfTheRulesIsTheAcceptedTextByteForByte) {
  const std::string text =
      "10.0.0.1\r\n0.0.0.0-255.255.255.255\r\n00-1a-2b-3c-4d-5e\r\n"
      "ff-00-ff-00-ff-00&192.168.1.20\r\n10.0.0.1\r\n";
  const auto list = NetworkPermissionList::parse(TextView(text));
  EXPECT_EQ(list->size(), 5u);
  EXPECT_EQ(list->toText(), text);
  EXPECT_EQ(NetworkPermissionList::parse(TextView(""))->toText(), "");
}

// ---------------------------------------------------------------------------------------
// Checking peers

const std::string ARP_HEADING =
    "IP address       HW type     Flags       HW address            Mask     Device\n";

class NetworkPermissionsTest : public ::testing::Test {
 protected:
  std::unique_ptr<NetworkPermissions> load(std::string_view text) {
    writeFile(path, text);
    return std::make_unique<NetworkPermissions>(path, arp);
  }
  // The ARP table holds `ipText` with `macText` (colon form) and nothing else.
  void arpHas(const std::string& ipText, const std::string& macText) {
    writeFile(arp, ARP_HEADING + ipText + "         0x1         0x2         " + macText +
                       "     *        eth0\n");
  }

  TempDir dir;
  const std::string path = dir.file("network_permissions.txt");
  const std::string arp = dir.file("arp");
  ConsoleCapture console;
};

TEST_F(NetworkPermissionsTest, SingleAddressLetsOnlyItselfIn) {
  auto permissions = load("10.0.0.1\r\n");
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 2)));
  EXPECT_EQ(console.text(), "");
}

TEST_F(NetworkPermissionsTest, EmptyFileRefusesEveryone) {
  auto permissions = load("");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_FALSE(permissions->isAllowed(ip(127, 0, 0, 1)));
}

TEST_F(NetworkPermissionsTest, RangeHoldsBothEnds) {
  auto permissions = load("10.0.0.1-10.0.0.5\r\n10.0.1.0-10.0.1.0\r\n");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 0)));
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 5)));
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 6)));
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 1, 0)));
}

TEST_F(NetworkPermissionsTest, MacRuleAdmitsThePeerTheArpTableNames) {
  auto permissions = load("00-1a-2b-3c-4d-5e\r\n");
  arpHas("10.0.0.7", "00:1a:2b:3c:4d:5e");
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 7)));
  EXPECT_EQ(console.text(), "");

  arpHas("10.0.0.7", "00:1a:2b:3c:4d:5f");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 7)));
  EXPECT_EQ(console.text(), cp866("не подошёл mac 00-1a-2b-3c-4d-5f\n"));
}

TEST_F(NetworkPermissionsTest, PeerMissingFromTheArpTableIsRefusedWithMacZero) {
  auto permissions = load("00-1a-2b-3c-4d-5e\r\n");
  arpHas("10.0.0.7", "00:1a:2b:3c:4d:5e");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 8)));
  EXPECT_EQ(console.text(), cp866("не подошёл mac 00-00-00-00-00-00\n"));
}

// A rule written with the MAC 00-00-00-00-00-00 parses, but 0 is also what the look-up
// gives for an unknown peer: such a rule must not let every unknown peer in.
TEST_F(NetworkPermissionsTest, ZeroMacRuleDoesNotAdmitPeersMissingFromTheArpTable) {
  auto permissions = load("00-00-00-00-00-00\r\n00-00-00-00-00-00&10.0.0.8\r\n");
  arpHas("10.0.0.7", "00:1a:2b:3c:4d:5e");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 8)));
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 9)));
}

TEST_F(NetworkPermissionsTest, PairNeedsBothItsAddressAndItsMac) {
  auto permissions = load("00-1a-2b-3c-4d-5e&10.0.0.7\r\n");
  arpHas("10.0.0.7", "00:1a:2b:3c:4d:5e");
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 7)));
  // The same MAC at another address: the pair says nothing, so no look-up and no message.
  arpHas("10.0.0.9", "00:1a:2b:3c:4d:5e");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 9)));
  EXPECT_EQ(console.text(), "");
  arpHas("10.0.0.7", "00:1a:2b:3c:4d:60");
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 7)));
  EXPECT_EQ(console.text(), cp866("не подошёл mac 00-1a-2b-3c-4d-60\n"));
}

TEST_F(NetworkPermissionsTest, AllowedAddressOutranksAMacRuleBeforeIt) {
  auto permissions = load("00-1a-2b-3c-4d-5e\r\n10.0.0.8\r\n00-1a-2b-3c-4d-5f&10.0.0.9\r\n");
  writeFile(arp, ARP_HEADING);
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 8)));
  EXPECT_EQ(console.text(), "");
  // MAC_NEEDED from the MAC rule wins over the others' IP_NOT_MATCHED.
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 10)));
  EXPECT_EQ(console.text(), cp866("не подошёл mac 00-00-00-00-00-00\n"));
}

TEST_F(NetworkPermissionsTest, StartRefusesAMissingOrBrokenFile) {
  try {
    NetworkPermissions permissions(path, arp);
    ADD_FAILURE() << "loaded a missing file";
  } catch (const DiskOrMemoryError& error) {
    EXPECT_EQ(error.message(), cp866("не удалось открыть ") + path + cp866(" на чтение"));
  }
  writeFile(path, "10.0.0.1");
  try {
    NetworkPermissions permissions(path, arp);
    ADD_FAILURE() << "loaded a broken file";
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(),
              cp866("строка разрешений сетевого доступа >10.0.0.1< не заканчивается 0D 0A"));
  }
}

// ---------------------------------------------------------------------------------------
// Replacing the list

TEST_F(NetworkPermissionsTest, ReplaceSavesTheExactTextAndTakesEffect) {
  auto permissions = load("10.0.0.1\r\n");
  const std::string text = "10.0.0.2\r\n00-1a-2b-3c-4d-5e&10.0.0.3\r\n";
  permissions->replace(TextView(text));
  EXPECT_EQ(readFile(path), text);
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 2)));
  EXPECT_EQ(permissions->toText(), text);
  // The next start reads what was saved.
  EXPECT_EQ(NetworkPermissions(path, arp).toText(), text);
}

TEST_F(NetworkPermissionsTest, ReplaceWithABrokenTextKeepsTheOldList) {
  auto permissions = load("10.0.0.1\r\n");
  try {
    permissions->replace(TextView("10.0.0.2\r\n10.0.0.5-10.0.0.4\r\n"));
    ADD_FAILURE() << "replaced with a broken text";
  } catch (const SemanticError& error) {
    EXPECT_EQ(error.message(), cp866("Неверный формат нового файла сетевых разрешений: "
                                     "Неверный порядок пары (строка 10.0.0.5-10.0.0.4)"));
  }
  EXPECT_EQ(readFile(path), "10.0.0.1\r\n");
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 2)));
}

// The refusal of a failed save is the whole truth: the old list stays in force, as it stays
// on disk.
TEST_F(NetworkPermissionsTest, ReplaceWhoseSaveFailsKeepsTheOldList) {
  auto permissions = load("10.0.0.1\r\n");
  platform::FaultInjectionEnv env;
  env.failAt(platform::FaultKind::RENAME, 1, EIO);
  platform::Env::setCurrent(&env);
  EXPECT_THROW(permissions->replace(TextView("10.0.0.2\r\n")), DiskOrMemoryError);
  platform::Env::setCurrent(nullptr);
  EXPECT_TRUE(permissions->isAllowed(ip(10, 0, 0, 1)));
  EXPECT_FALSE(permissions->isAllowed(ip(10, 0, 0, 2)));
  EXPECT_EQ(readFile(path), "10.0.0.1\r\n");
}

// The accept loop checks peers while a query replaces the list: every check sees one whole
// list, old or new, and no list is freed while a check uses it (run under the sanitizers).
TEST_F(NetworkPermissionsTest, ChecksDuringReplacementsSeeWholeLists) {
  const std::string first = "10.0.0.7\r\n10.0.0.1\r\n";
  const std::string second = "10.0.0.2\r\n10.0.0.0-10.0.0.7\r\n";
  auto permissions = load(first);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> checks{0};

  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        if (!permissions->isAllowed(ip(10, 0, 0, 7))) ++wrong;
        if (permissions->isAllowed(ip(10, 0, 0, 9))) ++wrong;
        const std::string text = permissions->toText();
        if (text != first && text != second) ++wrong;
        ++checks;
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  int replaced = 0;
  while (replaced < 200 && std::chrono::steady_clock::now() < deadline) {
    permissions->replace(TextView(replaced % 2 == 0 ? second : first));
    ++replaced;
  }
  done = true;
  for (auto& reader : readers) reader.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(replaced, 1);
  EXPECT_GT(checks.load(), 0);
  EXPECT_EQ(readFile(path), replaced % 2 == 0 ? first : second);
}

}  // namespace
}  // namespace dovrel::permissions
