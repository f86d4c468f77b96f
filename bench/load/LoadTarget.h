// A store under load: the load tool drives dovrel and SQLite through this one interface so
// that both see the identical workload. One thread.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
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

// What a search returned: the numbers returned (a fetched document counts as one), a hash
// of them in the order they came, so the two stores' answers can be compared exactly, and
// the number found (the count line's M; SQLite's count(*) in a count-only search).
struct SearchOutcome {
  uint64_t returned = 0;
  uint64_t sequence = 0;
  uint64_t found = 0;

  void add(uint32_t number) {
    ++returned;
    sequence = (sequence ^ (number + 1ULL)) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL;
  }
};

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

// The CPU seconds (user + system) a process has used so far: utime and stime of
// /proc/<process>/stat, in clock ticks; none where the kernel does not tell.
std::optional<double> processCpuSeconds(const std::string& process);

// The CPU seconds the live threads of a process have run, to the nanosecond: the first
// field of /proc/<process>/task/*/schedstat, summed (a thread that ended is not counted).
std::optional<double> threadsCpuSeconds(const std::string& process);

// A process's resident memory now and at its peak, in bytes: VmRSS and VmHWM of
// /proc/<process>/status.
struct ResidentMemory {
  uint64_t now = 0;
  uint64_t peak = 0;
};
std::optional<ResidentMemory> processResidentMemory(const std::string& process);

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
  // The CPU seconds the server process has used so far; none for an in-process store.
  virtual std::optional<double> serverCpuSeconds() const { return std::nullopt; }
  // The same, to the nanosecond, over the server's live threads; none for an in-process store.
  virtual std::optional<double> serverThreadsCpuSeconds() const { return std::nullopt; }
  // The server process's resident memory; none for an in-process store.
  virtual std::optional<ResidentMemory> serverMemory() const { return std::nullopt; }
};

}  // namespace dovrel::load
