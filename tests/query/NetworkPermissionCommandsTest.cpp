// The network permission commands through the parser, over the permissions of a temporary
// instance: who may set and get, what is read before the rights check, the log entry of a
// set, what reaches the saved file, and the counted form of the answer to get.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "permissions/NetworkPermissions.h"
#include "query/Parser.h"
#include "security/StoreTestSupport.h"

namespace dovrel::query {
namespace {

using test::userEntry;

const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";
const std::string DORA = "User: dora\r\nPassword: pw\r\n";

class NetworkPermissionCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(dir.file("security.txt"), "security {\r\n" +
                                                  userEntry("admin", "admin", "secret") +
                                                  userEntry("dora", "creator", "pw") + "}\r\n");
    test::writeFile(dir.file("network_permissions.txt"), "10.0.0.1\r\n");
    test::writeFile(dir.file("arp"), "");
    store = std::make_shared<permissions::NetworkPermissions>(dir.file("network_permissions.txt"),
                                                              dir.file("arp"));
    parser = std::make_unique<Parser>(ParserFiles::inBaseDirectory(dir.path()), store);
  }

  std::string run(const std::string& query) {
    TextBuffer answer;
    try {
      parser->execute(TextView(query), answer);
      return cp866ToUtf8(answer.stringView());
    } catch (const TextError& error) {
      return "ERROR\r\n" + cp866ToUtf8(error.text());
    }
  }
  // The markers closing the log entries, in order.
  std::vector<std::string> logMarkers() const {
    const std::string log = test::readFile(dir.file("security_log.txt"));
    std::vector<std::string> markers;
    for (size_t at = log.find("\r\n["); at != std::string::npos; at = log.find("\r\n[", at + 3)) {
      if (log.compare(at + 3, 7, "Success") == 0) markers.push_back("Success");
      if (log.compare(at + 3, 7, "Failure") == 0) markers.push_back("Failure");
    }
    return markers;
  }

  test::InstanceDir dir;
  std::shared_ptr<permissions::NetworkPermissions> store;
  std::unique_ptr<Parser> parser;
};

TEST_F(NetworkPermissionCommandsTest, SetReadsTheWholeCommandBeforeTheRightsAndIsLogged) {
  // A broken command is a syntax error even for a user without the right.
  EXPECT_EQ(run(DORA + "set network permissions #9#1.2.3.4\r\n#"),
            "ERROR\r\nОшибка в строке 3 столбце 28: ожидается ';' получено <конец текста>");
  EXPECT_EQ(run(DORA + "set network permissions #9#1.2.3.4\r\n#;"),
            "ERROR\r\nОшибка в строке 3 столбце 29: у пользователя недостаточно прав для "
            "установки сетевых разрешений");
  EXPECT_EQ(run(ADMIN + "set network permissions 'bad';"),
            "ERROR\r\nОшибка в строке 3 столбце 30: Неверный формат нового файла сетевых "
            "разрешений: строка разрешений сетевого доступа >bad< не заканчивается 0D 0A");
  EXPECT_EQ(test::readFile(dir.file("network_permissions.txt")), "10.0.0.1\r\n");

  EXPECT_EQ(run(ADMIN + "SET Network Permissions #9#1.2.3.4\r\n#;"), "OK\r\n");
  EXPECT_EQ(test::readFile(dir.file("network_permissions.txt")), "1.2.3.4\r\n");
  EXPECT_EQ(store->toText(), "1.2.3.4\r\n");
  EXPECT_EQ(logMarkers(), (std::vector<std::string>{"Failure", "Failure", "Success"}));
}

TEST_F(NetworkPermissionCommandsTest, GetChecksTheRightsFirstAndAnswersTheCountedText) {
  EXPECT_EQ(run(DORA + "get network"),
            "ERROR\r\nОшибка в строке 3 столбце 11: у пользователя недостаточно прав для "
            "получения сетевых разрешений");
  EXPECT_EQ(run(ADMIN + "get network rules;"),
            "ERROR\r\nОшибка в строке 3 столбце 18: ожидается permissions получено rules");
  EXPECT_EQ(run(ADMIN + "get network permissions;"), "OK\r\n#10#10.0.0.1\r\n#");
  EXPECT_EQ(run(ADMIN + "set network permissions '';"), "OK\r\n");
  EXPECT_EQ(run(ADMIN + "get network permissions;"), "OK\r\n#0##");
  // Reading is not a change: no log entry.
  EXPECT_EQ(logMarkers(), (std::vector<std::string>{"Success"}));
}

}  // namespace
}  // namespace dovrel::query
