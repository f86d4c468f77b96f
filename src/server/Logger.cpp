// The query journal and its crash replay.
//
// States and the function behind each transition:
//   DISABLED   no file could be created in the log directory; stays so      (Logger)
//   REPLAYING  a current.log left by a crash is run through the executor,   (replay)
//              from its last completed commit on
//   APPENDING  current.log open for appending; a record per query           (append)
//              -> APPENDING through a commit intent                         (appendIntent)
//              -> APPENDING through a commit marker, and an archive when     (rotate)
//                 this second's name is free
//   SHUT_DOWN  after a halt: current.log archived and removed               (shutdown)
//   FAILED     a write failed; nothing more is written                      (writeFailed)
//
// Invariants:
//   1. Every record is written and flushed before its query runs, so current.log holds
//      every query since the last archiving, up to the one that was running at a crash.
//   2. current.log is a sequence of whole records (a checked record: 16-byte header with
//      the length and checksums, then the body; a commit marker; a commit intent; or, in
//      journals written before checksums, a plain 4-byte length and the body), except that
//      a crash while appending may leave the last one cut short. Replay drops a cut record and
//      truncates the file to the whole records before anything is appended, so a new record never
//      follows a broken one. Any other damage stops the start before a query runs.
//   3. Replay runs before any query record is appended and only on the main thread; its
//      queries are journalled already and are not appended again.
//   4. A rotation never overwrites an archive: it renames current.log only to a name that
//      does not exist, and then a new, empty current.log exists before the next append.
//   5. After shutdown no current.log exists, so the next start replays nothing.
//   6. Once journalling is on, a write that fails (a full or failing disk) cuts current.log
//      back to its whole records and leaves the Logger FAILED: it writes nothing more and
//      the failure leaves as a DiskOrMemoryError, which puts the server into its error
//      state. A journal that silently stopped recording would make the next replay lose
//      work; one that went on after a broken record could not be read at all. A query whose
//      record failed does not run, and its cut record is not replayed. FAILED keeps
//      current.log for the next start, whatever the halt does.
//   7. A commit marker is appended only after a query answered RESULT_COMMITTED, that is
//      after the commit made the tables durable, and it covers exactly the bytes before it
//      (or, for a replayed commit, the bytes up to the end of that commit's record). Replay
//      never runs a record inside the span of the last marker, so a crash between a commit
//      and its rotation never runs committed work twice.
//   8. A journal holding uncommitted queries after its last commit is never archived at
//      start-up: those queries live only in memory and in current.log.
//   9. A commit intent is appended while the tables' "in_commit.txt" is on disk and before
//      any table begins its commit (the table set's commit listener), covering what the
//      commit covers. The tables delete that file only when the commit is complete, or, at
//      a start that undid the commit, when this journal has settled the intent. So at
//      start-up an intent after the last marker is complete exactly when the executor
//      reports no interrupted commit: it is settled with a marker for its span (complete)
//      or for the previous marker's (undone, the span runs again) before the executor's
//      file goes. A crash anywhere between the tables' commit and the commit marker
//      therefore neither loses nor repeats work, whether the commit was a query's, a
//      halt's or the executor's own at process end.
//  10. No commit waits for an archive name while it holds the parser: a commit whose
//      second's name is taken leaves current.log in place after its marker, and the
//      journal goes on there. Replay skips everything up to the last marker (invariant 7),
//      so one journal, and then one archive, may hold the spans of several commits. Only
//      the halt, which must remove current.log, waits for a free name.
#include "server/Logger.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Crc32.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"

namespace dovrel::server {

namespace {

constexpr uint64_t LENGTH_BYTES = 4;

uint32_t readLength(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t readOffset(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void putLittleEndian(uint64_t value, int width, std::string& out) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Reads exactly `length` bytes at `offset`, inside the whole records: anything less is a
// failure of the disk, recorded with `expression`.
void readExactly(platform::PageFile& file, uint64_t offset, void* buffer, std::size_t length,
                 const std::string& path) {
  std::size_t transferred = 0;
  const platform::Status status = file.readAt(offset, buffer, length, &transferred);
  if (!status.isOk() || transferred != length) {
    throw DiskOrMemoryError(std::string("ошибка чтения "_cp866) + path);
  }
}

[[noreturn]] void openFailed(const std::string& path) {
  throw DiskOrMemoryError(std::string("не удалось открыть "_cp866) + path +
                          std::string(" на запись"_cp866));
}

// A journal that does not check out cannot say what ran: the start is refused (exit
// status 1) and the file is left as it is for the operator.
[[noreturn]] void journalDamaged() {
  throw TextError("Ошибка: лог запросов повреждён, запуск невозможен\n"_cp866);
}

}  // namespace

platform::CalendarTime SystemArchiveClock::localTime() { return platform::localTimeNow(); }
void SystemArchiveClock::sleepMs(uint32_t milliseconds) { platform::sleepMs(milliseconds); }

std::string Logger::archiveName(const std::string& logDir, const platform::CalendarTime& time) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%04d%02d%02d%02d%02d%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return logDir + digits + std::string(instance::JOURNAL_SUFFIX);
}

platform::CalendarTime Logger::nextSecond(platform::CalendarTime time) {
  time.millisecond = 0;
  if (++time.second < 60) return time;
  time.second = 0;
  if (++time.minute < 60) return time;
  time.minute = 0;
  if (++time.hour < 24) return time;
  time.hour = 0;
  const bool leap = (time.year % 4 == 0 && time.year % 100 != 0) || time.year % 400 == 0;
  static constexpr int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int days = DAYS[time.month - 1] + (time.month == 2 && leap ? 1 : 0);
  if (++time.day <= days) return time;
  time.day = 1;
  if (++time.month <= 12) return time;
  time.month = 1;
  ++time.year;
  return time;
}

std::string Logger::controlRecord(uint32_t tag, uint64_t offset) {
  std::string bytes;
  putLittleEndian(tag, 4, bytes);
  putLittleEndian(offset, 8, bytes);
  putLittleEndian(crc32(bytes.data(), bytes.size()), 4, bytes);
  return bytes;
}

std::string Logger::commitMarker(uint64_t committed) {
  return controlRecord(MARKER_LENGTH, committed);
}

std::string Logger::commitIntent(uint64_t covered) { return controlRecord(INTENT_LENGTH, covered); }

Logger::Logger(std::string logDir, QueryExecutor& executor, ArchiveClock* clock)
    : clock_(clock != nullptr ? *clock : systemClock_),
      logDir_(std::move(logDir)),
      currentLog_(logDir_ + std::string(CURRENT_LOG)) {
  DOVREL_ASSERT_TEXT(logDir_.ends_with('/'), "fileName.tail(1).equals(\"/\")");
  platform::Env& env = platform::Env::current();

  // The probe: a directory in which no file can be made turns journalling off, silently.
  const std::string probe = logDir_ + "test";
  {
    std::unique_ptr<platform::WritableFile> test;
    if (!env.openWritableFile(probe, false, &test).isOk()) {
      // No journal to coordinate with: an undone commit is simply settled.
      executor.settleInterruptedCommit();
      return;
    }
    if (!test->close().isOk()) openFailed(probe);
  }
  if (!env.deleteFile(probe).isOk()) openFailed(probe);
  enabled_ = true;
  executor.setCommitListener(intentWriter_);

  if (!env.fileExists(currentLog_)) {
    // No journal left (a first start or after a halt): no intent can be waiting.
    executor.settleInterruptedCommit();
    if (!env.openWritableFile(currentLog_, false, &file_).isOk()) openFailed(currentLog_);
    position_ = 0;
    return;
  }

  consolePrint("Найден лог запросов перед аварийным завершением - повторяем\n"_cp866);
  const bool rotationDue = replay(executor);
  if (rotationDue) archiveUnlessNameTaken();
  consolePrint("\nОбработка лога успешно завершена\n"_cp866);
}

Logger::~Logger() {
  // Errors are of no use here: what was flushed is with the system already.
  if (file_) (void)file_->close();
}

Logger::JournalScan Logger::scan(platform::PageFile& file, uint64_t size) {
  JournalScan found;
  // Record boundaries, ascending: a marker may only name one of them.
  std::vector<uint64_t> boundaries{0};
  bool checkedSeen = false;  // plain records only ever come before the first checked one
  std::vector<char> body;
  uint64_t offset = 0;
  while (size - offset >= LENGTH_BYTES) {
    unsigned char head[CHECKED_HEADER_BYTES];
    readExactly(file, offset, head, LENGTH_BYTES, currentLog_);
    const uint32_t word = readLength(head);
    if (word == MARKER_LENGTH || word == INTENT_LENGTH || word == CHECKED_LENGTH) {
      // All are 16 bytes before any body; fewer is a record cut while it was appended.
      static_assert(MARKER_BYTES == CHECKED_HEADER_BYTES);
      if (size - offset < MARKER_BYTES) break;
      readExactly(file, offset + LENGTH_BYTES, head + LENGTH_BYTES, MARKER_BYTES - LENGTH_BYTES,
                  "read == sizeof(header)");
      checkedSeen = true;
      if (word == MARKER_LENGTH || word == INTENT_LENGTH) {
        // Either names a record boundary before it, never before the last marker's.
        const uint64_t covered = readOffset(head + LENGTH_BYTES);
        if (crc32(head, 12) != readLength(head + 12) || covered > offset ||
            covered < found.committed ||
            !std::binary_search(boundaries.begin(), boundaries.end(), covered)) {
          journalDamaged();
        }
        if (word == MARKER_LENGTH) {
          found.committed = covered;
          found.intentPending = false;
        } else {
          found.intent = covered;
          found.intentPending = true;
        }
        offset += MARKER_BYTES;
      } else {
        if (crc32(head, 8) != readLength(head + 8)) journalDamaged();
        const uint32_t length = readLength(head + 4);
        const uint64_t recordEnd = offset + CHECKED_HEADER_BYTES + length;
        // The header checks out, so the length is true: a shorter file is a cut body.
        if (recordEnd > size) break;
        body.resize(length);
        if (length > 0) {
          readExactly(file, offset + CHECKED_HEADER_BYTES, body.data(), length,
                      "read == query.length()");
        }
        if (crc32(body.data(), length) != readLength(head + 12)) journalDamaged();
        found.records.push_back({offset + CHECKED_HEADER_BYTES, length});
        offset = recordEnd;
        found.lastQueryEnd = recordEnd;
      }
    } else {
      // A plain record, as journals were written before records carried checksums.
      const uint64_t recordEnd = offset + LENGTH_BYTES + word;
      if (word > PLAIN_LENGTH_MAX || checkedSeen) journalDamaged();
      if (recordEnd > size) {
        // A cut record, unless the length is one that no append could have written: a
        // flipped bit in the length word of a checked record looks like that.
        if (word >= PLAIN_CUT_LIMIT) journalDamaged();
        break;
      }
      found.records.push_back({offset + LENGTH_BYTES, word});
      offset = recordEnd;
      found.lastQueryEnd = recordEnd;
    }
    boundaries.push_back(offset);
  }
  found.whole = offset;
  return found;
}

bool Logger::replay(QueryExecutor& executor) {
  platform::Env& env = platform::Env::current();
  std::unique_ptr<platform::PageFile> file;
  uint64_t size = 0;
  if (!env.openPageFile(currentLog_, platform::OpenMode::OPEN_EXISTING, &file).isOk() ||
      !file->size(&size).isOk()) {
    throw DiskOrMemoryError(std::string("не удалось открыть "_cp866) + currentLog_ +
                            std::string(" на чтение"_cp866));
  }

  // The whole journal is checked before any query of it runs, so a damaged journal stops
  // the start with nothing replayed. A cut record can only be the last one: the process
  // died while appending it. It never ran, so dropping it loses nothing that was answered.
  const JournalScan found = scan(*file, size);
  if (found.whole < size) {
    if (!file->truncate(found.whole).isOk() || !file->sync().isOk()) {
      throw DiskOrMemoryError(std::string("ошибка записи в "_cp866) + currentLog_);
    }
    consolePrint("Последняя запись лога запросов оборвана и отброшена\n"_cp866);
  }
  // Open for appending now: a replayed commit is marked as soon as it returns (invariant 7).
  openForAppend();

  // Invariant 9: an intent without its marker is settled before the executor's own record
  // of an undone commit goes.
  uint64_t committed = found.committed;
  if (found.intentPending) {
    if (!executor.commitInterrupted()) committed = found.intent;
    appendMarker(committed);
  }
  executor.settleInterruptedCommit();

  std::vector<char> query;
  for (const JournalRecord& record : found.records) {
    const uint64_t recordEnd = record.body + record.length;
    if (recordEnd <= committed) continue;  // committed already
    query.resize(record.length);
    if (!query.empty()) {
      readExactly(*file, record.body, query.data(), query.size(), currentLog_);
    }

    TextBuffer answer;  // the answer goes nowhere
    replayedEnd_ = recordEnd;
    try {
      const QueryResult result =
          executor.execute(TextView(query.data(), static_cast<uint32_t>(query.size())), answer);
      // Only a commit makes the replayed work durable. A replayed halt saves nothing (the
      // process goes on), so it marks nothing either.
      if (result == RESULT_COMMITTED) {
        appendMarker(recordEnd);
        committed = recordEnd;
      }
    } catch (const Error&) {
      // The refusal is the query's answer, as it was when the query first ran (a failed
      // login, a bad command); the record counts as done.
    }
    consolePrint("*");
  }
  replayedEnd_ = 0;
  (void)file->close();  // only read since the truncation, which was synced
  // Archive only a journal whose every query is committed (invariant 8).
  return committed > 0 && committed >= found.lastQueryEnd;
}

void Logger::openForAppend() {
  platform::Env& env = platform::Env::current();
  if (!env.openWritableFile(currentLog_, true, &file_).isOk() ||
      !env.fileSize(currentLog_, &position_).isOk()) {
    file_.reset();
    openFailed(currentLog_);
  }
}

bool Logger::closeJournal() {
  DOVREL_ASSERT(file_ != nullptr);
  const bool closed = file_->close().isOk();
  file_.reset();
  return closed;
}

void Logger::writeFailed() {
  failed_ = true;
  // Closed first, so that nothing still buffered reaches the file after the truncation.
  if (file_) (void)closeJournal();
  // What is left of the broken record goes; should even that fail, the next start drops a
  // cut record at the end (invariant 2).
  (void)platform::Env::current().truncateFile(currentLog_, position_);
  throw DiskOrMemoryError(std::string("ошибка записи в "_cp866) + currentLog_);
}

void Logger::append(TextView query) {
  if (!enabled_) return;
  if (failed_) writeFailed();  // no record, so the query must not run
  DOVREL_ASSERT(!shutDown_ && file_ != nullptr);
  const uint32_t n = query.length();
  std::string header;
  putLittleEndian(CHECKED_LENGTH, 4, header);
  putLittleEndian(n, 4, header);
  putLittleEndian(crc32(header.data(), header.size()), 4, header);
  putLittleEndian(crc32(query.pointer(), n), 4, header);
  if (!file_->append(header.data(), header.size()).isOk() ||
      !file_->append(query.pointer(), n).isOk() || !file_->flush().isOk()) {
    writeFailed();
  }
  position_ += header.size() + n;
}

void Logger::appendMarker(uint64_t committed) { appendControl(commitMarker(committed)); }

void Logger::appendIntent() {
  if (!enabled_ || shutDown_) return;
  // A commit without its intent could not be told from an undone one after a crash: it
  // must not begin (the tables are left as they were, in_commit.txt on disk).
  if (failed_) writeFailed();
  DOVREL_ASSERT(file_ != nullptr);
  appendControl(commitIntent(replayedEnd_ != 0 ? replayedEnd_ : position_));
}

void Logger::appendControl(const std::string& bytes) {
  if (!file_->append(bytes.data(), bytes.size()).isOk() || !file_->flush().isOk()) writeFailed();
  position_ += bytes.size();
}

void Logger::rotate() {
  // FAILED: the commit has its intent, which counts as its marker at the next start.
  if (!enabled_ || failed_) return;
  DOVREL_ASSERT(!shutDown_ && file_ != nullptr);
  // First the marker: from here on a crash replays nothing of what the commit saved. Its
  // failure is the commit's intent's business (invariant 9); the journal stops here.
  appendMarker(position_);
  archiveUnlessNameTaken();
}

void Logger::archiveUnlessNameTaken() {
  // Never a wait under the parser: when this second's archive exists, current.log stays and
  // goes on after its last marker; a later commit or the halt archives it (invariant 10).
  const std::string archive = archiveName(logDir_, clock_.localTime());
  if (!platform::Env::current().fileExists(archive)) (void)archiveJournal(archive);
}

std::string Logger::freeArchiveName() {
  platform::Env& env = platform::Env::current();
  // Two archivings within one second want the same name; the archive already there is
  // never replaced (invariant 4).
  platform::CalendarTime time = clock_.localTime();
  std::string archive = archiveName(logDir_, time);
  for (int pass = 1; env.fileExists(archive) && pass < 3; ++pass) {
    clock_.sleepMs(ARCHIVE_RETRY_MS);
    time = clock_.localTime();
    archive = archiveName(logDir_, time);
  }
  // Still taken after both waits: the clock was set back over earlier commits (an hour
  // repeated when summer time ends, a manual correction). The archive takes the first free
  // name of the seconds that follow, in the usual form, and the halt goes on instead of
  // stopping after a commit that has already succeeded.
  while (env.fileExists(archive)) {
    time = nextSecond(time);
    archive = archiveName(logDir_, time);
  }
  return archive;
}

bool Logger::archiveJournal(const std::string& archive) {
  // Everything is flushed and marked already: a close that reports an error lost nothing.
  (void)closeJournal();
  platform::Env& env = platform::Env::current();
  if (!env.renameFile(currentLog_, archive).isOk()) {
    // current.log stays, covered by its marker, and goes on as when the name is taken.
    if (!env.openWritableFile(currentLog_, true, &file_).isOk()) writeFailed();
    return false;
  }
  // Without a new current.log there is no journal: everything in the archive is committed,
  // but the next query would have no record.
  position_ = 0;
  if (!env.openWritableFile(currentLog_, false, &file_).isOk() || !file_->flush().isOk()) {
    writeFailed();
  }
  return true;
}

void Logger::shutdown() {
  // FAILED: the executor's save (if any) is covered by its intent; current.log stays.
  if (!enabled_ || failed_) return;
  DOVREL_ASSERT(!shutDown_ && file_ != nullptr);
  // The halt happens once, so it may wait for a free name: current.log must go. A step that
  // fails leaves current.log after its marker, so the next start replays nothing of it.
  appendMarker(position_);
  if (!archiveJournal(freeArchiveName())) {
    throw DiskOrMemoryError(std::string("не удалось переименовать в "_cp866) + currentLog_);
  }
  DOVREL_ASSERT(file_ != nullptr && position_ == 0);
  (void)closeJournal();
  shutDown_ = true;
  if (!platform::Env::current().deleteFile(currentLog_).isOk()) {
    throw DiskOrMemoryError(std::string("Ошибка удаления файла "_cp866) + currentLog_);
  }
}

}  // namespace dovrel::server
