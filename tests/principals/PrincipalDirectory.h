// Test helpers: a principal map that stands in for the security store, and a scanner over
// an owned text. Single-threaded, like the code under test.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "principals/PrincipalLookup.h"
#include "principals/Public.h"
#include "principals/Role.h"
#include "principals/User.h"

namespace dovrel::test {

// Holds principals by name; every added principal becomes a member of "public", as the
// store does.
class PrincipalDirectory : public PrincipalLookup {
 public:
  PrincipalDirectory() : public_(Public::create()) { map_["public"] = public_; }

  std::shared_ptr<Role> findPrincipal(std::string_view name) const override {
    auto it = map_.find(std::string(name));
    return it == map_.end() ? nullptr : it->second;
  }

  template <class T>
  std::shared_ptr<T> add(std::shared_ptr<T> principal) {
    principal->grant(public_);
    map_[principal->getName()] = principal;
    return principal;
  }
  std::shared_ptr<Role> addRole(const std::string& name) {
    auto role = Role::create();
    role->setName(name);
    return add(role);
  }
  std::shared_ptr<User> addUser(const std::string& name, UserKind kind = UserKind::GRANTEE) {
    auto user = User::create();
    user->setName(name);
    user->setKind(kind);
    return add(user);
  }
  const std::shared_ptr<Public>& publicRole() const { return public_; }

 private:
  std::shared_ptr<Public> public_;
  std::map<std::string, std::shared_ptr<Role>> map_;
};

// A scanner that owns its text and stands on the first token.
class TextScanner {
 public:
  explicit TextScanner(std::string text)
      : text_(std::make_unique<std::string>(std::move(text))), scanner_(TextView(*text_)) {
    scanner_.next();
  }
  Scanner& operator*() { return scanner_; }
  Scanner* operator->() { return &scanner_; }

 private:
  std::unique_ptr<std::string> text_;
  Scanner scanner_;
};

// The message of the SemanticError that `action` throws, or "<no error>".
template <class F>
std::string semanticMessage(F&& action) {
  try {
    action();
  } catch (const SemanticError& e) {
    return e.message();
  }
  return "<no error>";
}

// The text of the positioned TextError that `action` throws, or "<no error>".
template <class F>
std::string textErrorOf(F&& action) {
  try {
    action();
  } catch (const TextError& e) {
    return e.text();
  }
  return "<no error>";
}

}  // namespace dovrel::test
