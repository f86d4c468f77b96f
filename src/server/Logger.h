// The query journal: every request body is appended to LOGS/current.log and flushed before
// its query runs; a commit moves the journal into an archive named by the local date and
// time; a journal left by a crash is replayed through the executor when the server starts,
// before any connection is taken. Construction and replay run on the main thread; append,
// rotate and shutdown only on a connection thread that holds the parser semaphore.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/Poolable.h"
#include "platform/Clock.h"
#include "platform/Env.h"
#include "server/QueryExecutor.h"
#include "server/QueryJournal.h"

namespace dovrel::server {

// The local time that names the archives, and the wait when a name is taken. Tests give
// their own so that a clash needs no real second.
class ArchiveClock {
 public:
  virtual ~ArchiveClock() = default;
  virtual platform::CalendarTime localTime() = 0;
  virtual void sleepMs(uint32_t milliseconds) = 0;
};

// The system's local time and sleep.
class SystemArchiveClock final : public ArchiveClock {
 public:
  platform::CalendarTime localTime() override;
  void sleepMs(uint32_t milliseconds) override;
};

class Logger final : public QueryJournal, public Object {
 public:
  // How long a rotation waits when the archive name it wants is taken.
  static constexpr uint32_t ARCHIVE_RETRY_MS = 1000;
  static constexpr const char* CURRENT_LOG = "current.log";

  // `logDir` ends with '/'. When no file can be created there (a missing or unwritable
  // directory), journalling is off for the whole run, silently, and every operation does
  // nothing. Otherwise a current.log left by a crash is replayed through `executor` (used
  // only during construction), printing "*" per record; then the journal is open for
  // appending. `clock` (not owned; nullptr for the system's) must outlive the Logger.
  // A file operation that fails once journalling is on is a fatal assertion.
  Logger(std::string logDir, QueryExecutor& executor, ArchiveClock* clock = nullptr);
  // Closes the journal without rotating it: the process may be ending without a halt, and
  // whatever is journalled must stay for the next start.
  ~Logger() override;

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes the 4-byte little-endian length and the body, then flushes to the system, so the
  // record survives a crash of the process.
  void append(TextView query) override;
  // Moves current.log to LOGS/YYYYMMDDhhmmss.log (local time) and starts an empty one. When
  // that name is taken, waits ARCHIVE_RETRY_MS and takes the time again, at most twice.
  void rotate() override;
  // On halt: rotates, then removes current.log, so the next start replays nothing. The
  // Logger does nothing afterwards.
  void shutdown() override;

  bool enabled() const { return enabled_; }
  const std::string& currentLog() const { return currentLog_; }

  // LOGS/ + 14 digits of the time + ".log".
  static std::string archiveName(const std::string& logDir, const platform::CalendarTime& time);

 private:
  // Replays current.log as it is on disk; returns whether a rotation is due (the journal
  // holds a commit or a halt).
  bool replay(QueryExecutor& executor);
  // The length of the whole records at the start of the open file; the rest is a record that
  // a crash cut short.
  uint64_t wholeRecordsLength(platform::PageFile& file, uint64_t size);
  void openForAppend();
  void closeJournal();

  SystemArchiveClock systemClock_;
  ArchiveClock& clock_;
  const std::string logDir_;
  const std::string currentLog_;
  bool enabled_ = false;
  bool shutDown_ = false;
  std::unique_ptr<platform::WritableFile> file_;
  uint64_t position_ = 0;  // the open journal's length: where the next record goes
};

}  // namespace dovrel::server
