// The configuration files of an end-to-end test instance: network_permissions.txt, which
// lets the loopback address in, and security.txt with the users the tests log in as. One
// test thread.
#pragma once

#include <string>
#include <vector>

namespace dovrel::e2e {

struct TestUser {
  std::string name;
  std::string kind;  // "admin", "creator" or "grantee"
  std::string password;
  bool locked = false;
};

// The users of every instance: "admin" (admin, password "secret") and "guest" (grantee,
// password "guest").
const std::vector<TestUser>& defaultUsers();

// A security file with these users and no roles or tables.
std::string securityFileText(const std::vector<TestUser>& users);

// Writes network_permissions.txt ("127.0.0.1" CR LF) and security.txt with the default
// users into the instance directory (ending with '/').
void writeInstanceFiles(const std::string& directory);

}  // namespace dovrel::e2e
