// A store under load: the load tool drives dovrel and SQLite through this one interface so
// that both see the identical workload. One thread.
#pragma once

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "load/LoadCorpus.h"

namespace dovrel::load {

// Thrown when a store refuses or fails a step; the message is UTF-8.
class LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by search() when the store does not offer a kind of search; the tool then skips
// that kind and prints the message.
class SearchRefused : public LoadError {
 public:
  using LoadError::LoadError;
};

// What a search returned: the numbers returned (a fetched document counts as one) and an
// order-independent checksum of them, so the two stores' results can be compared.
struct SearchOutcome {
  uint64_t returned = 0;
  uint64_t checksum = 0;
};

inline uint64_t documentChecksum(uint32_t number) { return number * 0x9e3779b97f4a7c15ULL; }

// The bytes a process has caused to be sent to the disk ("self" or a process id): the
// write_bytes line of /proc/<process>/io, 0 where the kernel does not tell.
inline uint64_t processBytesWritten(const std::string& process) {
  std::ifstream io("/proc/" + process + "/io");
  std::string name;
  uint64_t value = 0;
  while (io >> name >> value) {
    if (name == "write_bytes:") return value;
  }
  return 0;
}

class LoadTarget {
 public:
  virtual ~LoadTarget() = default;
  virtual std::string name() const = 0;
  // Creates the empty table (not timed). `durable`: every batch is made durable on its own
  // by commitBatch(), as a user loading data safely does; otherwise only commit() syncs.
  virtual void create(bool durable) = 0;
  // Prepares a batch of documents numbered `first`, `first` + 1, ... (not timed).
  virtual void prepareBatch(const std::vector<CorpusDocument>& documents, uint32_t first) = 0;
  // Stores the prepared batch (timed).
  virtual void storeBatch() = 0;
  // Makes the batch just stored durable, in durable mode (timed).
  virtual void commitBatch() = 0;
  // Makes everything stored so far durable (timed).
  virtual void commit() = 0;
  // Reorganises the indexes for searching after the bulk load and makes that durable
  // (timed; run only when asked for).
  virtual void optimize() = 0;
  // Runs one search (timed). Throws SearchRefused when the store refuses the kind.
  virtual SearchOutcome search(const SearchQuery& query) = 0;
  // Bytes the store occupies on disk.
  virtual uint64_t diskBytes() const = 0;
  // Bytes the store's process has sent to the disk so far (its write_bytes in /proc).
  virtual uint64_t bytesWritten() const = 0;
};

}  // namespace dovrel::load
