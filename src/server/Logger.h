// The query journal: every request body is appended to LOGS/current.log and flushed before
// its query runs; a commit appends a commit intent once it is under way and a commit
// marker once it is complete, then moves the journal into an archive named by the local
// date and time; a journal left by a crash is replayed through the executor when the
// server starts, from its last completed commit on, before any connection is taken. Construction
// and replay run on the main thread; append, rotate and shutdown only on a connection thread that
// holds the parser semaphore.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/InstanceFiles.h"
#include "foundation/Poolable.h"
#include "platform/Clock.h"
#include "platform/Env.h"
#include "server/QueryExecutor.h"
#include "server/QueryJournal.h"
#include "tables/CommitListener.h"

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
  // How long the halt waits when the archive name it wants is taken.
  static constexpr uint32_t ARCHIVE_RETRY_MS = 1000;
  static constexpr std::string_view CURRENT_LOG = instance::CURRENT_JOURNAL;
  // Record layouts (all integers little-endian; docs/formats/query-journal.md):
  //  - checked record: CHECKED_LENGTH, the body length (4 bytes), the CRC-32 of those 8
  //    bytes, the CRC-32 of the body, then the body;
  //  - commit marker: MARKER_LENGTH, the journal offset up to which every query is
  //    committed (8 bytes), the CRC-32 of those 12 bytes;
  //  - commit intent: INTENT_LENGTH, the journal offset up to which a commit that is under
  //    way covers the queries (8 bytes), the CRC-32 of those 12 bytes. It is written once
  //    the tables' "in_commit.txt" is on disk; without a marker after it, it counts as a
  //    marker exactly when the start found no such file, that is when the commit completed;
  //  - plain record (journals written before checksums; read, never written): the body
  //    length (at most PLAIN_LENGTH_MAX: a request body is never longer) and the body.
  static constexpr uint32_t MARKER_LENGTH = 0xFFFFFFFFu;
  static constexpr uint32_t CHECKED_LENGTH = 0xFFFFFFFEu;
  static constexpr uint32_t INTENT_LENGTH = 0xFFFFFFFDu;
  static constexpr uint64_t MARKER_BYTES = 16;
  static constexpr uint64_t CHECKED_HEADER_BYTES = 16;
  static constexpr uint32_t PLAIN_LENGTH_MAX = 0x80000000u;
  // A plain record running past the end of the file is taken as cut only below this length.
  static constexpr uint32_t PLAIN_CUT_LIMIT = 0x40000000u;

  // `logDir` ends with '/'. When no file can be created there (a missing or unwritable
  // directory), journalling is off for the whole run, silently, and every operation does
  // nothing. Otherwise a current.log left by a crash is replayed through `executor`,
  // printing "*" per record run: the records before its last completed commit are
  // committed already and are skipped; a commit intent left without its marker is first
  // settled with a marker (for the intent when the commit completed, for the previous
  // marker when the start undid it), and only then is the executor's kept commit marker
  // settled; each replayed commit appends an intent and a marker of its own. Then the
  // journal is open for appending, and every commit the executor makes tells it, by the
  // listener it registers there, once it is under way. `clock` (not owned; nullptr
  // for the system's) must outlive the Logger. A file operation that fails here throws
  // DiskOrMemoryError (the start fails with its message); a damaged journal (a checksum or a commit
  // marker that does not check out) stops the start with a TextError before any of it runs.
  Logger(std::string logDir, QueryExecutor& executor, ArchiveClock* clock = nullptr);
  // Closes the journal without rotating it: the process may be ending without a halt, and
  // whatever is journalled must stay for the next start.
  ~Logger() override;

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes a checked record (header with the length and checksums, then the body), then
  // flushes to the system, so the record survives a crash of the process. A write that
  // fails cuts the record off again and throws DiskOrMemoryError; from then on the Logger
  // is failed: append and the commit intent throw the same, rotate and shutdown do nothing,
  // and current.log stays for the next start.
  void append(TextView query) override;
  // Called after a commit: appends a commit marker for everything journalled so far and
  // flushes it (from then on a crash replays none of it), then moves current.log to
  // LOGS/YYYYMMDDhhmmss.log (local time) and starts an empty one. When that name is taken
  // (a second commit within one second) it never waits: current.log stays, covered by its
  // marker, and goes on; the next commit whose name is free, or the halt, archives it, so
  // one archive may hold the spans of several commits. A failed marker throws
  // DiskOrMemoryError and fails the Logger (the commit's intent stands for its marker); a
  // failed rename keeps current.log going, as when the name is taken.
  void rotate() override;
  // On halt, after the executor saved: marks and archives current.log, then removes it, so
  // the next start replays nothing. The halt happens once and may wait for a free name: when
  // the name is taken it waits ARCHIVE_RETRY_MS and takes the time again, at most twice, and
  // then takes the first free name of the seconds after the last one tried. The Logger does
  // nothing afterwards. A step that fails throws DiskOrMemoryError with current.log left
  // after its marker, so the next start replays nothing.
  void shutdown() override;

  bool enabled() const { return enabled_; }
  bool failed() const { return failed_; }
  const std::string& currentLog() const { return currentLog_; }

  // LOGS/ + 14 digits of the time + ".log".
  static std::string archiveName(const std::string& logDir, const platform::CalendarTime& time);
  // The calendar second after `time` (a leap second counts as the minute's last), for an
  // archive name when the names of the current seconds are taken.
  static platform::CalendarTime nextSecond(platform::CalendarTime time);
  // The bytes of a commit marker saying that the journal's first `committed` bytes are
  // committed.
  static std::string commitMarker(uint64_t committed);
  // The bytes of a commit intent for a commit covering the journal's first `covered` bytes.
  static std::string commitIntent(uint64_t covered);

 private:
  // A query record found by a scan: where its body is and how long it is.
  struct JournalRecord {
    uint64_t body;
    uint32_t length;
  };
  // What a scan of current.log found.
  struct JournalScan {
    std::vector<JournalRecord> records;  // the whole query records, in order
    uint64_t whole = 0;                  // length of the whole records; the rest was cut by a crash
    uint64_t committed = 0;              // the last commit marker's committed length (0: none)
    bool intentPending = false;          // a commit intent follows the last marker
    uint64_t intent = 0;                 // the last such intent's covered length
    uint64_t lastQueryEnd = 0;           // end of the last query record (0 when there is none)
  };
  // The 16 bytes of a marker or an intent: its tag, the journal offset, their CRC-32.
  static std::string controlRecord(uint32_t tag, uint64_t offset);
  // Appends the commit intent when a commit of the executor is under way.
  class IntentWriter final : public CommitListener {
   public:
    explicit IntentWriter(Logger& logger) : logger_(logger) {}
    void commitStarting() override { logger_.appendIntent(); }

   private:
    Logger& logger_;
  };
  // Replays current.log from its last commit marker, opening it for appending first so that
  // replayed commits can be marked; returns whether a rotation is due (every query in the
  // journal is committed and at least one commit is in it).
  bool replay(QueryExecutor& executor);
  // Walks and checks the records of the open file; throws TextError for damage (a checksum
  // that does not match, a marker that names no record boundary, a length no append
  // writes).
  JournalScan scan(platform::PageFile& file, uint64_t size);
  void openForAppend();
  // Appends a commit marker for the first `committed` bytes and flushes it.
  void appendMarker(uint64_t committed);
  // Appends and flushes a commit intent covering what has run: the journal so far, or
  // during replay the records up to the one being replayed.
  void appendIntent();
  // Appends the 16 bytes of a marker or an intent and flushes them.
  void appendControl(const std::string& bytes);
  // Archives current.log under this second's name, or leaves it when the name is taken.
  void archiveUnlessNameTaken();
  // A name no archive has yet, waiting for the next second when this one's is taken.
  std::string freeArchiveName();
  // Closes current.log, renames it to `archive` (a name no file has) and starts an empty one;
  // false when the rename failed and current.log goes on instead.
  bool archiveJournal(const std::string& archive);
  // False when the close reported an error (the file is released either way).
  bool closeJournal();
  // Cuts current.log back to its whole records, fails the Logger, throws DiskOrMemoryError.
  [[noreturn]] void writeFailed();

  SystemArchiveClock systemClock_;
  ArchiveClock& clock_;
  const std::string logDir_;
  const std::string currentLog_;
  bool enabled_ = false;
  bool shutDown_ = false;
  bool failed_ = false;
  std::unique_ptr<platform::WritableFile> file_;
  uint64_t position_ = 0;     // the open journal's length: where the next record goes
  uint64_t replayedEnd_ = 0;  // during replay: the end of the record being replayed, else 0
  // Registered with the executor as a weak handle, so a commit after the Logger is gone
  // (the executor outliving it at process end) tells nobody.
  std::shared_ptr<IntentWriter> intentWriter_ = std::make_shared<IntentWriter>(*this);
};

}  // namespace dovrel::server
