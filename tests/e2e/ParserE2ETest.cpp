// The real server with its query parser: users from security.txt log in, the commands that
// exist run, and a start without its configuration stops with status 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "E2ETest.h"
#include "client/ClientConnection.h"
#include "foundation/Cp866.h"
#include "support/InstanceFiles.h"

namespace dovrel::e2e {
namespace {

using client::ClientConnection;
using client::RequestMode;

class ParserE2ETest : public E2ETest {
 protected:
  // The answer to one request on a connection of its own, in UTF-8.
  std::string ask(const std::string& body) {
    ClientConnection connection("127.0.0.1", instance_->port());
    return cp866ToUtf8(connection.request(body, RequestMode::KNOWN_LENGTH).text);
  }
};

TEST_F(ParserE2ETest, UsersOfTheSecurityFileLogInAndRunCommands) {
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask("User: Admin\r\nPassword: secret\r\ncommit;"), "OK\r\n");
  EXPECT_EQ(ask("User: guest\r\nPassword: guest\r\ncommit;"),
            "ERROR\r\nОшибка в строке 3 столбце 7: у пользователя недостаточно прав для "
            "фиксации состояния сервера");
  EXPECT_EQ(ask("User: guest\r\nPassword: guest\r\nhalt;"),
            "ERROR\r\nОшибка в строке 3 столбце 5: у пользователя недостаточно прав для "
            "завершения работы сервера");
  EXPECT_EQ(ask("User: admin\r\nPassword: Secret\r\ncommit;"),
            "ERROR\r\nОшибка в строке 3 столбце 1: неверный пароль");
  EXPECT_NE(instance_->console().find("Хэш использованного пароля "), std::string::npos);
  // The failure is named on the console with the peer, and its answer was delayed.
  EXPECT_NE(instance_->console().find("Неудачный вход пользователя admin с адреса 127.0.0.1, "
                                      "ответ задержан на 100 мс\n"),
            std::string::npos);
  EXPECT_TRUE(instance_->running());
}

TEST_F(ParserE2ETest, LockedAccountIsRefusedAfterItsPasswordIsChecked) {
  std::vector<TestUser> users = defaultUsers();
  users.push_back({"locked", "admin", "pw", true});
  std::ofstream(instance_->directory() + "security.txt", std::ios::binary | std::ios::trunc)
      << securityFileText(users);
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask("User: locked\r\nPassword: pw\r\ncommit;"),
            "ERROR\r\nОшибка в строке 3 столбце 1: пользователь заблокирован");
  EXPECT_EQ(ask("User: locked\r\nPassword: px\r\ncommit;"),
            "ERROR\r\nОшибка в строке 3 столбце 1: неверный пароль");
}

TEST_F(ParserE2ETest, MissingOrBrokenConfigurationStopsTheStart) {
  const std::string dir = instance_->directory();
  const std::string port = "-port:" + std::to_string(ServerInstance::freePort());
  const struct {
    std::function<void()> breakIt;
    std::string output;
  } cases[] = {
      {[&] { std::filesystem::remove(dir + "network_permissions.txt"); },
       "не удалось открыть " + dir + "network_permissions.txt на чтение"},
      {[&] { std::filesystem::remove(dir + "security.txt"); },
       "не удалось открыть " + dir + "security.txt на чтение"},
      {[&] { std::ofstream(dir + "security.txt") << "security {"; },
       "Ошибка в строке 1 столбце 10: ожидается '}' получено <конец текста>"},
      {[&] { std::ofstream(dir + "DATA/t.structure") << "table t alias #0## {\r\n};\r\n"; },
       "безопасность для таблицы t не установлена"},
  };
  for (const auto& c : cases) {
    writeInstanceFiles(dir);
    std::filesystem::remove(dir + "DATA/t.structure");
    c.breakIt();
    const ProgramRun run = instance_->runServer({port});
    EXPECT_EQ(run.status, 1) << c.output;
    EXPECT_EQ(run.output, c.output);
  }
}

}  // namespace
}  // namespace dovrel::e2e
