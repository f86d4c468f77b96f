// CredentialCache: remembers which passwords were verified for which users, so that a
// client sending many queries pays the iterated password hash once instead of per query.
// Owned by the parser; used on the query thread only (the parser semaphore), like it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "foundation/TextView.h"
#include "principals/PasswordHash.h"

namespace dovrel {
class User;
}

namespace dovrel::query {

// An entry is a keyed digest (a secret per-process key, then the user's salt, rounds,
// stored hash and the password) of a password that the full check accepted. A later login
// whose digest matches the entry in constant time is accepted without the iterated hash.
// Because the digest covers the salt, rounds and stored hash, any change of the password
// (alter user, a new user of the same name, a reloaded file) misses the entry, and the full
// check decides exactly as before; a wrong password never matches, so it always takes the
// full check with its console line and refusal. The clear password is never kept.
//
// What reading this memory gives an attacker: digests that test a guessed password with
// one digest instead of 257, for users who logged in since start-up. The journal keeps
// every query, login lines included, so such an attacker has the clear passwords anyway.
class CredentialCache {
 public:
  // More users than this are not remembered at once: reaching it forgets every entry.
  static constexpr std::size_t MAX_ENTRIES = 4096;

  CredentialCache();
  CredentialCache(const CredentialCache&) = delete;
  CredentialCache& operator=(const CredentialCache&) = delete;

  // Exactly User::checkPassword, as seen from outside: returns when the password gives
  // the user's stored hash; otherwise prints the computed hash on the console and throws
  // SemanticError "неверный пароль". DiskOrMemoryError when no digest can be computed.
  void checkPassword(const User& user, TextView password);

  // Forgets every entry.
  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }

 private:
  WhirlpoolDigest tagOf(const User& user, TextView password) const;

  std::array<unsigned char, 32> key_{};
  // By user name, which never changes while a user exists under it.
  std::unordered_map<std::string, WhirlpoolDigest> entries_;
};

}  // namespace dovrel::query
