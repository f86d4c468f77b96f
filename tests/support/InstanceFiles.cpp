// The configuration files of a test instance.
#include "support/InstanceFiles.h"

#include "foundation/InstanceFiles.h"
#include "principals/PasswordHash.h"
#include "support/Files.h"

namespace dovrel::e2e {

namespace {

std::string counted(const std::string& bytes) {
  std::string text("#");
  text += std::to_string(bytes.size());
  text += '#';
  text += bytes;
  text += '#';
  return text;
}

}  // namespace

const std::vector<TestUser>& defaultUsers() {
  static const std::vector<TestUser> users = {{"admin", "admin", "secret"},
                                              {"guest", "grantee", "guest"}};
  return users;
}

std::string securityFileText(const std::vector<TestUser>& users) {
  const std::string salt = "5A17E2E0";
  std::string text = "security {\r\n";
  for (const TestUser& user : users) {
    text += "   user " + user.name + " alias " + counted(user.name) + " kind " + user.kind +
            (user.locked ? " account lock" : " account unlock") + " password rounds 256 salt " +
            counted(salt) + " hash " + counted(hashPassword(user.password, 256, salt)) +
            " {\r\n   }\r\n";
  }
  return text + "}\r\n";
}

void writeInstanceFiles(const std::string& directory) {
  testsupport::writeFile(instance::besideData(directory, instance::NETWORK_PERMISSIONS_FILE),
                         "127.0.0.1\r\n");
  testsupport::writeFile(instance::besideData(directory, instance::SECURITY_FILE),
                         securityFileText(defaultUsers()));
}

}  // namespace dovrel::e2e
