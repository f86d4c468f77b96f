// The delays of failed logins: each failure from one peer, or for one user, doubles the
// delay of the next one up to a ceiling, and a peer or user without a failure for the
// forget period starts afresh. Shared by every connection's reader thread (locked inside).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace dovrel::server {

class FailedLogins {
 public:
  // More peers or users than this are not remembered at once: the oldest are forgotten
  // first, so a flood of names costs bounded memory.
  static constexpr std::size_t MAX_ENTRIES = 65536;

  FailedLogins(uint32_t firstMs, uint32_t ceilingMs, uint32_t forgetMs);

  // Records a failed login at `nowMs` of `user` from `peer` and returns how long its answer
  // waits: the larger of the peer's and the user's delay.
  uint32_t failed(uint32_t peer, const std::string& user, uint64_t nowMs);

 private:
  struct Record {
    uint32_t delayMs = 0;
    uint64_t lastMs = 0;
  };
  template <typename Key>
  uint32_t grow(std::unordered_map<Key, Record>& records, const Key& key, uint64_t nowMs);

  const uint32_t firstMs_;
  const uint32_t ceilingMs_;
  const uint32_t forgetMs_;
  std::mutex mutex_;
  std::unordered_map<uint32_t, Record> peers_;
  std::unordered_map<std::string, Record> users_;
};

}  // namespace dovrel::server
