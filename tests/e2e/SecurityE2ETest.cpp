// The security and network permission commands against the real server: the security file
// and the log after commands sent over the wire, the permission list set and read back, a
// loopback peer refused once the list leaves it out, and list replacements while many
// connections are being accepted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "E2ETest.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "foundation/Cp866.h"
#include "support/Files.h"
#include "support/InstanceFiles.h"

namespace dovrel::e2e {
namespace {

using testsupport::readFile;

using client::ClientConnection;
using client::RequestMode;

const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";
const std::string GUEST = "User: guest\r\nPassword: guest\r\n";

std::string counted(const std::string& bytes) {
  std::string out = "#";
  out.append(std::to_string(bytes.size())).append("#").append(bytes).append("#");
  return out;
}

// True once the console holds `text`; the server prints asynchronously to the client's view.
bool consoleShows(const ServerInstance& instance, const std::string& text) {
  for (int waited = 0; waited < 5000; waited += 20) {
    if (instance.console().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class SecurityE2ETest : public E2ETest {
 protected:
  // The answer to one request on a connection of its own, in UTF-8. Throws ClientError when
  // the server closes the connection without an answer.
  std::string ask(const std::string& body) {
    ClientConnection connection("127.0.0.1", instance_->port());
    return cp866ToUtf8(connection.request(body, RequestMode::KNOWN_LENGTH).text);
  }
  std::string file(const std::string& name) const {
    return readFile(instance_->directory() + name);
  }
};

TEST_F(SecurityE2ETest, CommandsOverTheWireChangeTheFileAndLogNoPassword) {
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask(ADMIN + "alter index x;"),
            "ERROR\r\nОшибка в строке 3 столбце 12: ожидается user или role");
  EXPECT_EQ(ask(GUEST + "create user zed alias 'z' kind admin account unlock identified by 'x';"),
            "ERROR\r\nОшибка в строке 3 столбце 12: у пользователя недостаточно прав для "
            "создания пользователя");
  EXPECT_EQ(file("security_log.txt"), "") << "a refusal before the entry opens leaves none";

  EXPECT_EQ(ask(ADMIN + "create role r1 alias 'R1';"), "OK\r\n");
  EXPECT_EQ(ask(ADMIN + "create role r2 alias 'R2';"), "OK\r\n");
  EXPECT_EQ(ask(ADMIN + "grant r1, r2 to admin, guest;"), "OK\r\n");
  std::string expected = securityFileText(defaultUsers());
  for (size_t at = expected.find(" {\r\n   }\r\n"); at != std::string::npos;
       at = expected.find(" {\r\n   }\r\n", at + 1)) {
    expected.replace(at, 10, " {\r\n      r1;\r\n      r2;\r\n   }\r\n");
  }
  expected.insert(expected.size() - 3,
                  "   role r1 alias #2#R1# {\r\n   }\r\n   role r2 alias #2#R2# {\r\n   }\r\n");
  EXPECT_EQ(file("security.txt"), expected);

  // A grantee altering somebody else is refused after the entry opened.
  EXPECT_EQ(ask(GUEST + "alter user admin identified by 'mine';"),
            "ERROR\r\nОшибка в строке 3 столбце 28: у пользователя недостаточно прав для "
            "модификации пользователя");
  EXPECT_EQ(ask(ADMIN + "alter user guest identified by 'n3wpass';"), "OK\r\n");
  EXPECT_EQ(ask("User: guest\r\nPassword: n3wpass\r\nget users;"),
            "ERROR\r\nОшибка в строке 3 столбце 10: у пользователя недостаточно прав для "
            "получения списка пользователей");
  const std::string listing = ask(ADMIN + "get users;");
  EXPECT_EQ(listing.substr(0, 7), "OK\r\n{\r\n");
  EXPECT_EQ(listing.find("salt"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("hash"), std::string::npos) << listing;

  const std::string log = file("security_log.txt");
  for (const char* secret : {"secret\r\n", "'mine'", "n3wpass", "Password: guest"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
  }
  EXPECT_NE(log.find("alter user admin identified by ***;\r\n[Failure]\r\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("alter user guest identified by ***;\r\n[Success]\r\n"), std::string::npos)
      << log;
}

TEST_F(SecurityE2ETest, PermissionsSetAreReadBackAndShutOutLoopbackWhenLeftOut) {
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask(ADMIN + "get network permissions;"), "OK\r\n#11#127.0.0.1\r\n#");
  EXPECT_EQ(ask(GUEST + "get network permissions;"),
            "ERROR\r\nОшибка в строке 3 столбце 12: у пользователя недостаточно прав для "
            "получения сетевых разрешений");

  const std::string rules = "127.0.0.1\r\n10.0.0.0-10.0.0.9\r\n00-1a-2b-3c-4d-5e&10.1.1.1\r\n";
  EXPECT_EQ(ask(ADMIN + "set network permissions " + counted(rules) + ";"), "OK\r\n");
  EXPECT_EQ(ask(ADMIN + "get network permissions;"), "OK\r\n" + counted(rules));
  EXPECT_EQ(file("network_permissions.txt"), rules);

  // Not normalised: refused, and the list in force is the one before.
  EXPECT_EQ(ask(ADMIN + "set network permissions " + counted("010.0.0.1\r\n") + ";"),
            "ERROR\r\nОшибка в строке 3 столбце 30: Неверный формат нового файла сетевых "
            "разрешений: Лишние данные или денормализованный IP-адрес (строка 010.0.0.1)");
  EXPECT_EQ(file("network_permissions.txt"), rules);

  EXPECT_EQ(ask(ADMIN + "set network permissions " + counted("10.0.0.1\r\n") + ";"), "OK\r\n");
  EXPECT_THROW(ask(ADMIN + "get network permissions;"), client::ClientError);
  EXPECT_TRUE(consoleShows(*instance_, "соединение c 127.0.0.1 запрещено\n"));
  EXPECT_EQ(file("network_permissions.txt"), "10.0.0.1\r\n");

  // The list is the configuration of the next start too.
  instance_->stop();
  ASSERT_TRUE(instance_->start());
  EXPECT_THROW(ask(ADMIN + "get users;"), client::ClientError);
  EXPECT_TRUE(instance_->running());
}

TEST_F(SecurityE2ETest, ListReplacedWhileConnectionsAreAcceptedAdmitsEveryLoopbackPeer) {
  ASSERT_TRUE(instance_->start());
  const std::string lists[] = {"127.0.0.1\r\n",
                               "10.0.0.0-10.0.0.255\r\n00-1a-2b-3c-4d-5e\r\n"
                               "127.0.0.0-127.255.255.255\r\n"};
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 12; ++i) {
        try {
          if (ask(ADMIN + "get network permissions;").substr(0, 4) != "OK\r\n") ++failures;
        } catch (const client::ClientError&) {
          ++failures;
        }
      }
    });
  }
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(ask(ADMIN + "set network permissions " + counted(lists[i % 2]) + ";"), "OK\r\n");
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ask(ADMIN + "get network permissions;"), "OK\r\n" + counted(lists[1]));
  EXPECT_EQ(instance_->console().find("запрещено"), std::string::npos);
}

TEST_F(SecurityE2ETest, FilesHoldingDataOrSecretsAreOwnerOnlyWhateverTheUmask) {
  // The server inherits a umask that lets every bit through; the fixture's security.txt
  // is made readable to all, as an older build left it.
  const mode_t umask = ::umask(0);
  const bool started = instance_->start();
  ::umask(umask);
  ASSERT_TRUE(started);
  std::filesystem::permissions(instance_->directory() + "security.txt",
                               std::filesystem::perms(0644));
  ASSERT_EQ(ask(ADMIN + "create user zed alias 'Z' kind creator account unlock identified by "
                        "'z3d';"),
            "OK\r\n");
  ASSERT_EQ(ask("User: zed\r\nPassword: z3d\r\ncreate table t alias 'T' { field f alias '' : "
                "text { index w 'words'; }; };"),
            "OK\r\n");
  ASSERT_EQ(ask("User: zed\r\nPassword: z3d\r\nadd document { field f = 'one'; } to table t;"),
            "OK\r\ndocument 0\r\n");
  ASSERT_EQ(ask(ADMIN + "commit;"), "OK\r\n");  // archives the journal
  ASSERT_EQ(ask("User: zed\r\nPassword: z3d\r\nadd document { field f = 'two'; } to table t;"),
            "OK\r\ndocument 1\r\n");

  const std::string base = instance_->directory();
  std::vector<std::string> checked;
  const auto expectOwnerOnly = [&](const std::filesystem::path& path) {
    const auto mode = std::filesystem::status(path).permissions() & std::filesystem::perms::all;
    EXPECT_EQ(static_cast<unsigned>(mode), 0600u)
        << path << " is " << std::oct << static_cast<unsigned>(mode);
    checked.push_back(path.lexically_relative(base).string());
  };
  expectOwnerOnly(base + "security.txt");
  expectOwnerOnly(base + "security_log.txt");
  for (const char* directory : {"DATA", "LOGS"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(base + directory)) {
      if (entry.is_regular_file()) expectOwnerOnly(entry.path());
    }
  }
  // The table's files, the current journal and at least one archive were among them.
  const auto count = [&](const std::string& prefix, const std::string& suffix) {
    return std::count_if(checked.begin(), checked.end(), [&](const std::string& name) {
      return name.starts_with(prefix) && name.ends_with(suffix);
    });
  };
  const std::string names = ::testing::PrintToString(checked);
  EXPECT_EQ(count("DATA/t.table", ""), 1) << names;
  EXPECT_EQ(count("LOGS/current.log", ""), 1) << names;
  EXPECT_GE(count("LOGS/", ".log"), 2) << names;
}

}  // namespace
}  // namespace dovrel::e2e
