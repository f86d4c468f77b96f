// Growing delays of failed logins (see FailedLogins.h). Any reader thread, under the mutex.
#include "server/FailedLogins.h"

#include <algorithm>

namespace dovrel::server {

FailedLogins::FailedLogins(uint32_t firstMs, uint32_t ceilingMs, uint32_t forgetMs)
    : firstMs_(firstMs), ceilingMs_(std::max(firstMs, ceilingMs)), forgetMs_(forgetMs) {}

template <typename Key>
uint32_t FailedLogins::grow(std::unordered_map<Key, Record>& records, const Key& key,
                            uint64_t nowMs) {
  if (records.size() >= MAX_ENTRIES && records.find(key) == records.end()) {
    // Forgotten ones first; when every entry is recent, all go: a flood this wide cannot be
    // told from many honest peers, and the peer's own record still slows its next guesses.
    std::erase_if(records,
                  [&](const auto& entry) { return nowMs - entry.second.lastMs > forgetMs_; });
    if (records.size() >= MAX_ENTRIES) records.clear();
  }
  Record& record = records[key];
  if (record.delayMs == 0 || nowMs - record.lastMs > forgetMs_) {
    record.delayMs = firstMs_;
  } else {
    record.delayMs =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{record.delayMs} * 2, ceilingMs_));
  }
  record.lastMs = nowMs;
  return record.delayMs;
}

uint32_t FailedLogins::failed(uint32_t peer, const std::string& user, uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t byPeer = grow(peers_, peer, nowMs);
  const uint32_t byUser = grow(users_, user, nowMs);
  return std::max(byPeer, byUser);
}

}  // namespace dovrel::server
