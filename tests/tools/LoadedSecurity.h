// Loads a produced security file the way the server's store does: a first pass that
// creates every principal by name, a second that reads their bodies with the principals'
// own readers, then the table entries. Tests see what the server would see. Throws the
// readers' SemanticError or TextError on a file they refuse. Single-threaded.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextView.h"
#include "principals/PrincipalLookup.h"
#include "principals/Public.h"
#include "principals/Role.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"

namespace dovrel::secmigrate::testing {

class LoadedSecurity : public PrincipalLookup {
 public:
  explicit LoadedSecurity(std::string text) : text_(std::move(text)) {
    createPrincipals();
    readBodies();
  }

  std::shared_ptr<Role> findPrincipal(std::string_view name) const override {
    auto it = principals_.find(std::string(name));
    return it == principals_.end() ? nullptr : it->second;
  }
  // The user of that name (fails the calling test when it is missing or a role).
  std::shared_ptr<User> user(const std::string& name) const {
    auto user = std::dynamic_pointer_cast<User>(findPrincipal(name));
    EXPECT_TRUE(user != nullptr) << name;
    return user;
  }
  const std::map<std::string, std::shared_ptr<Role>>& principals() const { return principals_; }
  const std::map<std::string, std::unique_ptr<TableSecurity>>& tables() const { return tables_; }

 private:
  void createPrincipals() {
    Scanner scan{TextView(text_)};
    scan.next();
    scan.expectKeyword("security");
    scan.expect(TOKEN_LBRACE);
    while (scan.isName("user") || scan.isName("role")) {
      const bool isUser = scan.isName("user");
      scan.next();
      const std::string name = scan.expectName("");
      if (principals_.count(name) > 0) {
        throw SemanticError("повторное объявление имени " + name);
      }
      principals_[name] = isUser ? std::shared_ptr<Role>(User::create()) : Role::create();
      while (scan.kind() != TOKEN_RBRACE) scan.next();
      scan.next();
    }
    auto everybody = Public::create();
    for (auto& entry : principals_) entry.second->grant(everybody);
    principals_["public"] = everybody;
  }

  void readBodies() {
    Scanner scan{TextView(text_)};
    scan.next();
    scan.expectKeyword("security");
    scan.expect(TOKEN_LBRACE);
    while (scan.isName("user") || scan.isName("role")) {
      scan.next();
      findPrincipal(scan.name())->readBody(scan, *this);
    }
    while (scan.isName("table")) {
      auto table = std::make_unique<TableSecurity>(scan, *this);
      const std::string name = table->tableName();
      tables_[name] = std::move(table);
    }
    scan.expect(TOKEN_RBRACE);
    scan.expect(TOKEN_END);
  }

  std::string text_;
  std::map<std::string, std::shared_ptr<Role>> principals_;
  std::map<std::string, std::unique_ptr<TableSecurity>> tables_;
};

}  // namespace dovrel::secmigrate::testing
