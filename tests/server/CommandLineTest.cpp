// The port argument and the instance paths.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "server/CommandLine.h"
#include "server/ServerPaths.h"

namespace dovrel::server {
namespace {

// The console message for a refused command line, or "" when it is accepted.
std::string refusal(const std::vector<std::string>& arguments, int* port = nullptr) {
  try {
    const int parsed = parsePortArguments(arguments);
    if (port != nullptr) *port = parsed;
    return "";
  } catch (const TextError& error) {
    return error.text();
  }
}

TEST(CommandLineTest, AcceptsCanonicalPortsFromOneTo65535) {
  int port = 0;
  EXPECT_EQ(refusal({}, &port), "");
  EXPECT_EQ(port, 8888);
  EXPECT_EQ(refusal({"-port:1"}, &port), "");
  EXPECT_EQ(port, 1);
  EXPECT_EQ(refusal({"-port:65535"}, &port), "");
  EXPECT_EQ(port, 65535);
}

TEST(CommandLineTest, RefusesEachMalformedArgumentWithItsMessage) {
  const std::string format =
      std::string("Ошибка: неверный формат в параметре командной строки "_cp866);
  const std::string number =
      std::string("Ошибка: неверный формат числа в параметре командной строки "_cp866);
  const std::string notPositive =
      std::string("Ошибка: не положительное число в параметре командной строки "_cp866);
  const std::string tooLarge =
      std::string("Ошибка: номер порта больше 65535 в параметре командной строки "_cp866);
  const std::string prefix =
      std::string("Ошибка: неожиданный формат параметра командной строки "_cp866);
  const struct {
    const char* argument;
    std::string message;
  } cases[] = {
      {"-port:0", notPositive},
      {"-port:-5", notPositive},
      {"-port:-0", notPositive},
      {"-port:65536", tooLarge},
      {"-port:99999", tooLarge},
      {"-port:999999", tooLarge},
      {"-port:08888", format},
      {"-port:+80", format},
      {"-port:80x", format},
      {"-port: 80", format},
      {"-port:123456", format},
      {"-port:", number},
      {"-port:x80", number},
      {"-port:-", number},
      {"-Port:80", prefix},
      {"port:80", prefix},
      {"", prefix},
      {"-port", prefix},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cp866ToUtf8(refusal({c.argument})), cp866ToUtf8(c.message + c.argument))
        << "argument: " << c.argument;
  }
}

TEST(CommandLineTest, RefusesASecondPortArgumentWithoutNamingIt) {
  EXPECT_EQ(refusal({"-port:80", "-port:81"}),
            "Ошибка: более одного параметра командной строки вида -port:"_cp866);
  // The first argument is checked completely before the second is looked at.
  EXPECT_EQ(refusal({"-port:0", "-port:81"}),
            std::string("Ошибка: не положительное число в параметре командной строки "_cp866) +
                "-port:0");
}

// The listen address: four decimal octets, each 0 to 255 without leading zeros.
TEST(CommandLineTest, AddressArgumentTakesDottedIpv4Only) {
  const std::string bad =
      std::string("Ошибка: неверный формат адреса в параметре командной строки "_cp866);
  const struct {
    std::vector<std::string> arguments;
    std::string message;  // "" when accepted
    uint32_t address;
    int port;
  } cases[] = {
      {{"-address:127.0.0.1"}, "", 0x7F000001u, 8888},
      {{"-address:0.0.0.0", "-port:9000"}, "", 0, 9000},
      {{"-port:9000", "-address:255.255.255.255"}, "", 0xFFFFFFFFu, 9000},
      {{"-address:10.0.200.9"}, "", 0x0A00C809u, 8888},
      {{"-address:"}, bad + "-address:", 0, 0},
      {{"-address:256.0.0.1"}, bad + "-address:256.0.0.1", 0, 0},
      {{"-address:127.0.0"}, bad + "-address:127.0.0", 0, 0},
      {{"-address:127.0.0.1.2"}, bad + "-address:127.0.0.1.2", 0, 0},
      {{"-address:127.0.0.01"}, bad + "-address:127.0.0.01", 0, 0},
      {{"-address:127.0.0.1 "}, bad + "-address:127.0.0.1 ", 0, 0},
      {{"-address: 127.0.0.1"}, bad + "-address: 127.0.0.1", 0, 0},
      {{"-address:127..0.1"}, bad + "-address:127..0.1", 0, 0},
      {{"-address:localhost"}, bad + "-address:localhost", 0, 0},
      {{"-address:1271.0.0.1"}, bad + "-address:1271.0.0.1", 0, 0},
      {{"-address:-1.0.0.1"}, bad + "-address:-1.0.0.1", 0, 0},
      {{"-address:127.0.0.1", "-address:127.0.0.1"},
       std::string("Ошибка: более одного параметра командной строки вида -address:"_cp866),
       0,
       0},
      // Arguments are checked in order: the bad port comes first.
      {{"-port:0", "-address:x"},
       std::string("Ошибка: не положительное число в параметре командной строки "_cp866) +
           "-port:0",
       0,
       0},
      {{"-Address:127.0.0.1"},
       std::string("Ошибка: неожиданный формат параметра командной строки "_cp866) +
           "-Address:127.0.0.1",
       0,
       0},
  };
  for (const auto& c : cases) {
    std::string message;
    CommandLineOptions options;
    try {
      options = parseCommandLine(c.arguments);
    } catch (const TextError& error) {
      message = error.text();
    }
    EXPECT_EQ(cp866ToUtf8(message), cp866ToUtf8(c.message)) << "argument: " << c.arguments[0];
    if (c.message.empty()) {
      EXPECT_EQ(options.address, c.address) << c.arguments[0];
      EXPECT_EQ(options.port, c.port) << c.arguments[0];
      EXPECT_FALSE(options.help);
    }
  }
}

TEST(CommandLineTest, HelpWinsOverEveryOtherArgument) {
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  EXPECT_TRUE(parseCommandLine({"-port:0", "--help"}).help);
  EXPECT_FALSE(parseCommandLine({}).help);
  EXPECT_EQ(refusal({"-help"}),
            std::string("Ошибка: неожиданный формат параметра командной строки "_cp866) + "-help");
  const std::string usage = cp866ToUtf8(usageText());
  EXPECT_EQ(usage.rfind("Использование: dovrel [-port:ПОРТ] [-address:АДРЕС]\n", 0), 0u) << usage;
}

TEST(ServerPathsTest, DirectoriesFollowTheProgramPath) {
  const ServerPaths bare = ServerPaths::fromProgramPath("dovrel");
  EXPECT_EQ(bare.dataDir, "DATA/");
  EXPECT_EQ(bare.logDir, "LOGS/");
  EXPECT_EQ(bare.besideData("security.txt"), "security.txt");

  const ServerPaths placed = ServerPaths::fromProgramPath("/srv/inst/dovrel");
  EXPECT_EQ(placed.dataDir, "/srv/inst/DATA/");
  EXPECT_EQ(placed.logDir, "/srv/inst/LOGS/");
  EXPECT_EQ(placed.besideData("network_permissions.txt"), "/srv/inst/network_permissions.txt");

  EXPECT_EQ(ServerPaths::fromProgramPath("./dovrel").dataDir, "./DATA/");
}

}  // namespace
}  // namespace dovrel::server
