// CredentialCache: the keyed digest of a verified login and its constant-time check.
// Query thread only.
#include "query/CredentialCache.h"

#include <random>
#include <string_view>

#include "principals/User.h"

namespace dovrel::query {

namespace {

// Fields of variable length are preceded by their length, so no two different logins
// feed the same bytes.
void appendField(std::string& out, std::string_view field) {
  const uint32_t length = static_cast<uint32_t>(field.size());
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(length >> shift));
  out.append(field);
}

std::string_view digestView(const WhirlpoolDigest& digest) {
  return std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace

CredentialCache::CredentialCache() {
  // A key nobody outside the process knows, so that the entries cannot be precomputed.
  std::random_device random;
  for (std::size_t i = 0; i < key_.size(); i += 4) {
    const uint32_t word = random();
    for (std::size_t j = 0; j < 4; ++j) key_[i + j] = static_cast<unsigned char>(word >> (8 * j));
  }
}

WhirlpoolDigest CredentialCache::tagOf(const User& user, TextView password) const {
  std::string input;
  input.reserve(key_.size() + user.salt().size() + user.hash().size() + password.length() + 20);
  input.append(reinterpret_cast<const char*>(key_.data()), key_.size());
  appendField(input, user.salt());
  appendField(input, std::to_string(user.rounds()));
  appendField(input, user.hash());
  appendField(input, password.view());
  WhirlpoolDigest tag = whirlpool(input);
  // The input holds the password in clear: leave no copy of it behind.
  volatile char* bytes = input.data();
  for (std::size_t i = 0; i < input.size(); ++i) bytes[i] = 0;
  return tag;
}

void CredentialCache::checkPassword(const User& user, TextView password) {
  const WhirlpoolDigest tag = tagOf(user, password);
  const auto found = entries_.find(user.getName());
  if (found != entries_.end() && hashesEqual(digestView(tag), digestView(found->second))) return;
  // Not verified before: the full check decides, with its console line on a mismatch.
  user.checkPassword(password);
  if (found != entries_.end()) {
    found->second = tag;
    return;
  }
  if (entries_.size() >= MAX_ENTRIES) entries_.clear();
  entries_.emplace(user.getName(), tag);
}

}  // namespace dovrel::query
