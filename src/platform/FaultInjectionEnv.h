// An Env for tests that wraps another one, counts calls by kind, fails chosen calls with a
// chosen errno, and can simulate a crash that loses what was written since the last sync.
// Install it with Env::setCurrent before the code under test runs; with
// interceptAllocations it also counts and fails allocations (see AllocationGate.h). Every
// method is thread-safe (one mutex); the files it opens are used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/AllocationGate.h"
#include "platform/Env.h"

namespace dovrel::platform {

// The kinds of call that are counted and can be made to fail.
enum class FaultKind {
  OPEN,              // openPageFile, openWritableFile
  READ,              // PageFile::readAt, readWholeFile
  WRITE,             // PageFile::writeAt, WritableFile::append
  FLUSH,             // WritableFile::flush
  SYNC,              // PageFile::sync, WritableFile::sync
  TRUNCATE,          // PageFile::truncate, truncateFile
  SIZE,              // PageFile::size, fileSize
  CLOSE,             // PageFile::close, WritableFile::close
  RENAME,            // renameFile
  DELETE,            // deleteFile
  CREATE_DIRECTORY,  // createDirectory
  SYNC_DIRECTORY,    // syncDirectory
  LIST_DIRECTORY,    // listDirectory
  ALLOCATE,          // an allocation through AllocationGate, while interceptAllocations is on
};
inline constexpr std::size_t FAULT_KIND_COUNT = 14;

// A short lower-case name of the kind ("write", "syncdir", ...), for test reports.
const char* faultKindName(FaultKind kind);

class FaultInjectionEnv final : public Env {
 public:
  // `base` must outlive this Env and every file opened through it.
  explicit FaultInjectionEnv(Env& base = Env::posix()) : base_(base), gate_(*this) {}
  // Removes its allocation gate if it is still installed.
  ~FaultInjectionEnv() override;
  FaultInjectionEnv(const FaultInjectionEnv&) = delete;
  FaultInjectionEnv& operator=(const FaultInjectionEnv&) = delete;

  // Installs (true) or removes (false) this Env as the process-wide AllocationGate, so that
  // allocations are counted as FaultKind::ALLOCATE and fail when armed (std::bad_alloc, or
  // the index's out-of-memory code). Remove it before the code that allocates is left
  // running without the test. An allocation failure is not a disk failure: the crashed
  // state does not make allocations fail.
  void interceptAllocations(bool on);

  // Makes the n-th call of `kind` from now (n >= 1) fail with `error` without reaching the
  // base Env; with `persistent`, every later call of that kind fails too. A failed call
  // changes nothing. Arming a kind again replaces its earlier arming.
  void failAt(FaultKind kind, uint64_t nth, int error, bool persistent = false);
  // Simulates the death of the process at the n-th call of `kind` from now: that call and
  // every later call of any kind fail with EIO and change nothing on disk.
  void crashAt(FaultKind kind, uint64_t nth);
  // Removes every armed failure and crash and leaves the crashed state.
  void clearFaults();
  bool crashed() const;

  // Calls of `kind` made through this Env and its files since construction or resetCounts.
  uint64_t count(FaultKind kind) const;
  void resetCounts();

  // While on, every counted call is also recorded as its kind and the path it concerned, so
  // a test can tell which files were touched. takeTrace hands over and clears the record.
  struct Call {
    FaultKind kind;
    std::string path;
  };
  void traceCalls(bool on);
  std::vector<Call> takeTrace();

  // Puts every file written through this Env back as it was at its last sync (or at its
  // first opening through this Env, when it was never synced; a file that did not exist
  // then is deleted). Call after the files are closed, typically after a crash. Renames,
  // deletions and directory creation count as durable at once; kept contents are whole
  // copies, so this is meant for small test files. Forgets the kept contents.
  Status dropUnsyncedData();

  Status openPageFile(const std::string& path, OpenMode mode,
                      std::unique_ptr<PageFile>* file) override;
  Status openWritableFile(const std::string& path, bool append,
                          std::unique_ptr<WritableFile>* file) override;
  Status readWholeFile(const std::string& path, std::string* content) override;
  Status renameFile(const std::string& from, const std::string& to) override;
  Status deleteFile(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  Status fileSize(const std::string& path, uint64_t* bytes) override;
  Status truncateFile(const std::string& path, uint64_t length) override;
  Status createDirectory(const std::string& path) override;
  Status syncDirectory(const std::string& path) override;
  Status listDirectory(const std::string& directory, const std::string& pattern,
                       std::vector<std::string>* names) override;

  // For the wrapped files: counts a call and tells whether it may go ahead.
  Status admit(FaultKind kind, const std::string& path);
  // For the wrapped files: the file's content is durable as it is now on the base Env.
  void recordSynced(const std::string& path);
  // For the wrapped files: the file is about to be changed; keeps its durable content
  // unless already kept.
  void recordWrite(const std::string& path);

 private:
  // The gate that routes allocations to admit(ALLOCATE).
  class Gate final : public AllocationGate {
   public:
    explicit Gate(FaultInjectionEnv& env) : env_(env) {}
    bool refuse(std::size_t bytes) override;

   private:
    FaultInjectionEnv& env_;
  };

  struct Arming {
    uint64_t trigger = 0;  // the count at which the fault fires; 0 = not armed
    int error = 0;
    bool persistent = false;
    bool crash = false;
  };

  Env& base_;
  mutable std::mutex mutex_;
  std::array<uint64_t, FAULT_KIND_COUNT> counts_{};
  std::array<Arming, FAULT_KIND_COUNT> armings_{};
  bool crashed_ = false;
  bool tracing_ = false;
  std::vector<Call> trace_;
  Gate gate_;
  // Path -> content at the last sync; nullopt when the file did not exist then.
  std::map<std::string, std::optional<std::string>> durable_;
};

}  // namespace dovrel::platform
