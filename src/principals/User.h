// User: a principal that can log in, with its basic access kind, account lock and salted
// password hash. Used only by the thread that runs queries (or loads the security file);
// the password hash functions it calls are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/TextView.h"
#include "principals/Role.h"

namespace dovrel {

// The user's basic access, from least to most; each is written as the word beside it.
enum class UserKind : uint8_t {
  GRANTEE = 0,  // "grantee"
  CREATOR = 1,  // "creator"
  ADMIN = 2,    // "admin"
};

// "grantee", "creator" or "admin".
std::string_view userKindWord(UserKind kind);

class User : public Role {
 public:
  // Every password the server sets is hashed with this many extra rounds.
  static constexpr uint32_t PASSWORD_ROUNDS = 256;

  // An empty user (grantee, unlocked, no password), to be filled by readBody.
  static std::shared_ptr<User> create();
  ~User() override;

  // The user definition of the create user command:
  //   user NAME alias STRING kind KIND account LOCK identified by STRING ;
  // The password is hashed with a new salt. The user has no memberships yet.
  static std::shared_ptr<User> readDefinition(Scanner& scanner);

  bool isRole() const override { return false; }
  // NAME alias STRING kind KIND account LOCK password rounds N salt STRING hash STRING
  // { role list }. Salt and hash are taken as they stand.
  void readBody(Scanner& scanner, const PrincipalLookup& principals) override;
  void writeDefinition(std::string_view indent, TextBuffer& out) const override;
  // The definition without the password part.
  void writeListing(std::string_view indent, TextBuffer& out) const override;

  // The user alteration of the alter user command, with the scanner after the user's name
  // (it hides the role alteration, which does not apply to users):
  //   [alias STRING] [kind KIND] [account LOCK] [identified by STRING] ;
  // `self` says that the acting user alters himself: he may then change his password, and
  // his alias only when he is an admin, but never his kind or lock. Clauses take effect as
  // they are read, so a failure leaves the earlier clauses applied in memory.
  void readAlteration(Scanner& scanner, bool self);

  // New salt, PASSWORD_ROUNDS rounds, new hash.
  void setPassword(TextView password);
  // Fails with "неверный пароль" when the password does not give the stored hash with the
  // stored rounds and salt, after printing the hash it computed on the console.
  void checkPassword(TextView password) const;
  // Fails with "пользователь заблокирован" when the account is locked.
  void checkNotLocked() const;

  UserKind kind() const { return kind_; }
  void setKind(UserKind kind) { kind_ = kind; }
  bool locked() const { return locked_; }
  void setLocked(bool locked) { locked_ = locked; }
  uint32_t rounds() const { return rounds_; }
  const std::string& salt() const { return salt_; }
  const std::string& hash() const { return hash_; }

 protected:
  User() = default;

 private:
  void writeHeader(std::string_view indent, bool withPassword, TextBuffer& out) const;
  void readKind(Scanner& scanner);
  void readLock(Scanner& scanner);

  UserKind kind_ = UserKind::GRANTEE;
  bool locked_ = false;
  uint32_t rounds_ = 0;
  std::string salt_;
  std::string hash_;
};

}  // namespace dovrel
