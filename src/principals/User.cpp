// User: the user texts, the alteration with its self rules, and the password checks made at
// login. Called by the query thread and by the security store while it loads.
#include "principals/User.h"

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/PasswordHash.h"

namespace dovrel {

std::string_view userKindWord(UserKind kind) {
  switch (kind) {
    case UserKind::ADMIN:
      return "admin";
    case UserKind::CREATOR:
      return "creator";
    case UserKind::GRANTEE:
      break;
  }
  return "grantee";
}

std::shared_ptr<User> User::create() { return std::shared_ptr<User>(new User()); }

User::~User() = default;

std::shared_ptr<User> User::readDefinition(Scanner& scanner) {
  std::shared_ptr<User> user = create();
  scanner.expectKeyword("user");
  user->readNameAndAlias(scanner);
  scanner.expectKeyword("kind");
  user->readKind(scanner);
  scanner.expectKeyword("account");
  user->readLock(scanner);
  scanner.expectKeyword("identified");
  scanner.expectKeyword("by");
  user->setPassword(scanner.expectString());
  scanner.expect(TOKEN_SEMICOLON);
  return user;
}

void User::readBody(Scanner& scanner, const PrincipalLookup& principals) {
  readNameAndAlias(scanner);
  scanner.expectKeyword("kind");
  readKind(scanner);
  scanner.expectKeyword("account");
  readLock(scanner);
  scanner.expectKeyword("password");
  scanner.expectKeyword("rounds");
  rounds_ = scanner.expectNumber();
  scanner.expectKeyword("salt");
  salt_ = scanner.expectString().toString();
  scanner.expectKeyword("hash");
  hash_ = scanner.expectString().toString();
  scanner.expect(TOKEN_LBRACE);
  readRoleList(scanner, principals);
  scanner.expect(TOKEN_RBRACE);
}

void User::writeDefinition(std::string_view indent, TextBuffer& out) const {
  writeHeader(indent, true, out);
  writeMembershipBlock(indent, out);
}

void User::writeListing(std::string_view indent, TextBuffer& out) const {
  writeHeader(indent, false, out);
  writeMembershipBlock(indent, out);
}

void User::writeHeader(std::string_view indent, bool withPassword, TextBuffer& out) const {
  out.append(indent);
  out.append(std::string_view("user "));
  out.append(getName());
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias()));
  out.append(std::string_view(" kind "));
  out.append(userKindWord(kind_));
  out.append(locked_ ? std::string_view(" account lock") : std::string_view(" account unlock"));
  if (withPassword) {
    out.append(std::string_view(" password rounds "));
    out.appendDecimal(rounds_);
    out.append(std::string_view(" salt "));
    out.appendCounted(std::string_view(salt_));
    out.append(std::string_view(" hash "));
    out.appendCounted(std::string_view(hash_));
  }
  out.append(std::string_view(" {\r\n"));
}

void User::readAlteration(Scanner& scanner, bool self) {
  if (scanner.isName("alias")) {
    if (self && kind_ != UserKind::ADMIN) {
      throw SemanticError("недостаточно прав для смены своего псевдонима"_cp866);
    }
    scanner.expectKeyword("alias");
    setAlias(scanner.expectString().toString());
  }
  if (scanner.isName("kind")) {
    if (self) throw SemanticError("нельзя менять свой базовый доступ"_cp866);
    scanner.expectKeyword("kind");
    readKind(scanner);
  }
  if (scanner.isName("account")) {
    if (self) throw SemanticError("нельзя себя отключать"_cp866);
    scanner.expectKeyword("account");
    readLock(scanner);
  }
  if (scanner.isName("identified")) {
    scanner.expectKeyword("identified");
    scanner.expectKeyword("by");
    setPassword(scanner.expectString());
  }
  scanner.expect(TOKEN_SEMICOLON);
}

void User::setPassword(TextView password) {
  std::string salt = makeSalt();
  hash_ = hashPassword(password.view(), PASSWORD_ROUNDS, salt);
  salt_ = std::move(salt);
  rounds_ = PASSWORD_ROUNDS;
}

void User::checkPassword(TextView password) const {
  std::string computed = hashPassword(password.view(), rounds_, salt_);
  if (!hashesEqual(computed, hash_)) {
    consolePrint(std::string("Хэш использованного пароля "_cp866) + computed + "\n");
    throw SemanticError("неверный пароль"_cp866);
  }
}

void User::checkNotLocked() const {
  if (locked_) throw SemanticError("пользователь заблокирован"_cp866);
}

void User::readKind(Scanner& scanner) {
  if (scanner.isName("admin")) {
    kind_ = UserKind::ADMIN;
    scanner.next();
  } else if (scanner.isName("creator")) {
    kind_ = UserKind::CREATOR;
    scanner.next();
  } else {
    scanner.expectKeyword("grantee");
    kind_ = UserKind::GRANTEE;
  }
}

void User::readLock(Scanner& scanner) {
  if (scanner.isName("lock")) {
    locked_ = true;
    scanner.next();
  } else {
    scanner.expectKeyword("unlock");
    locked_ = false;
  }
}

}  // namespace dovrel
