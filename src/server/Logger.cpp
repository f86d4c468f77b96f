// The query journal and its crash replay.
//
// States and the function behind each transition:
//   DISABLED   no file could be created in the log directory; stays so      (Logger)
//   REPLAYING  a current.log left by a crash is run through the executor    (replay)
//   APPENDING  current.log open for appending; a record per query           (append)
//              -> APPENDING through an archive after a commit               (rotate)
//   SHUT_DOWN  after a halt: current.log archived and removed               (shutdown)
//
// Invariants:
//   1. Every record is written and flushed before its query runs, so current.log holds
//      every query since the last rotation, up to the one that was running at a crash.
//   2. current.log is a sequence of whole records (4-byte little-endian length, then that
//      many bytes), except that a crash while appending may leave the last one cut short.
//      Replay drops a cut record and truncates the file to the whole records before
//      anything is appended, so a new record never follows a broken one.
//   3. Replay runs before any append and only on the main thread; its queries are journalled
//      already and are not appended again.
//   4. A rotation never overwrites an archive: it renames current.log only to a name that
//      does not exist, and then a new, empty current.log exists before the next append.
//   5. After shutdown no current.log exists, so the next start replays nothing.
//   6. Once journalling is on, a failed file operation is a fatal assertion: a journal that
//      silently stopped recording would make the next replay lose work.
#include "server/Logger.h"

#include <cstdio>
#include <vector>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"

namespace dovrel::server {

namespace {

constexpr uint64_t LENGTH_BYTES = 4;

uint32_t readLength(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Reads exactly `length` bytes at `offset`, inside the whole records: anything less is a
// failure of the disk, recorded with `expression`.
void readExactly(platform::PageFile& file, uint64_t offset, void* buffer, std::size_t length,
                 const char* expression) {
  std::size_t transferred = 0;
  const platform::Status status = file.readAt(offset, buffer, length, &transferred);
  DOVREL_ASSERT_TEXT(status.isOk() && transferred == length, expression);
}

}  // namespace

platform::CalendarTime SystemArchiveClock::localTime() { return platform::localTimeNow(); }
void SystemArchiveClock::sleepMs(uint32_t milliseconds) { platform::sleepMs(milliseconds); }

std::string Logger::archiveName(const std::string& logDir, const platform::CalendarTime& time) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%04d%02d%02d%02d%02d%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return logDir + digits + ".log";
}

Logger::Logger(std::string logDir, QueryExecutor& executor, ArchiveClock* clock)
    : clock_(clock != nullptr ? *clock : systemClock_),
      logDir_(std::move(logDir)),
      currentLog_(logDir_ + CURRENT_LOG) {
  DOVREL_ASSERT_TEXT(logDir_.ends_with('/'), "fileName.tail(1).equals(\"/\")");
  platform::Env& env = platform::Env::current();

  // The probe: a directory in which no file can be made turns journalling off, silently.
  const std::string probe = logDir_ + "test";
  {
    std::unique_ptr<platform::WritableFile> test;
    if (!env.openWritableFile(probe, false, &test).isOk()) return;
    DOVREL_ASSERT(test->close().isOk());
  }
  DOVREL_ASSERT(env.deleteFile(probe).isOk());
  enabled_ = true;

  if (!env.fileExists(currentLog_)) {
    DOVREL_ASSERT_TEXT(env.openWritableFile(currentLog_, false, &file_).isOk(), "f != NULL");
    position_ = 0;
    return;
  }

  consolePrint("Найден лог запросов перед аварийным завершением - повторяем\n"_cp866);
  const bool rotationDue = replay(executor);
  openForAppend();
  if (rotationDue) rotate();
  consolePrint("\nОбработка лога успешно завершена\n"_cp866);
}

Logger::~Logger() {
  // Errors are of no use here: what was flushed is with the system already.
  if (file_) (void)file_->close();
}

uint64_t Logger::wholeRecordsLength(platform::PageFile& file, uint64_t size) {
  uint64_t offset = 0;
  while (size - offset >= LENGTH_BYTES) {
    unsigned char length[LENGTH_BYTES];
    readExactly(file, offset, length, LENGTH_BYTES, "read == sizeof(length)");
    const uint64_t recordEnd = offset + LENGTH_BYTES + readLength(length);
    if (recordEnd > size) break;
    offset = recordEnd;
  }
  return offset;
}

bool Logger::replay(QueryExecutor& executor) {
  platform::Env& env = platform::Env::current();
  std::unique_ptr<platform::PageFile> file;
  DOVREL_ASSERT_TEXT(env.openPageFile(currentLog_, platform::OpenMode::OPEN_EXISTING, &file).isOk(),
                     "f != NULL");
  uint64_t size = 0;
  DOVREL_ASSERT(file->size(&size).isOk());

  // A cut record can only be the last one: the process died while appending it. It never
  // ran, so dropping it loses nothing that was answered.
  const uint64_t whole = wholeRecordsLength(*file, size);
  if (whole < size) {
    DOVREL_ASSERT(file->truncate(whole).isOk());
    DOVREL_ASSERT(file->sync().isOk());
    consolePrint("Последняя запись лога запросов оборвана и отброшена\n"_cp866);
    size = whole;
  }

  bool rotationDue = false;
  uint64_t offset = 0;
  std::vector<char> query;
  while (offset < size) {
    unsigned char length[LENGTH_BYTES];
    readExactly(*file, offset, length, LENGTH_BYTES, "read == sizeof(length)");
    query.resize(readLength(length));
    if (!query.empty()) {
      readExactly(*file, offset + LENGTH_BYTES, query.data(), query.size(),
                  "read == query.length()");
    }
    offset += LENGTH_BYTES + query.size();

    TextBuffer answer;  // the answer goes nowhere
    try {
      const QueryResult result =
          executor.execute(TextView(query.data(), static_cast<uint32_t>(query.size())), answer);
      // Only a commit makes the replayed work durable. A replayed halt saves nothing (the
      // process goes on), so archiving the journal after it would leave the work since the
      // last commit in memory alone; it stays journalled until the next commit instead.
      if (result == RESULT_COMMITTED) rotationDue = true;
    } catch (const TextError&) {
      // The refusal is the query's answer, as it was when the query first ran (a failed
      // login, a bad command); the record counts as done.
    } catch (const SemanticError&) {
    } catch (const DiskOrMemoryError&) {
    }
    consolePrint("*");
  }
  DOVREL_ASSERT(file->close().isOk());
  return rotationDue;
}

void Logger::openForAppend() {
  platform::Env& env = platform::Env::current();
  DOVREL_ASSERT_TEXT(env.openWritableFile(currentLog_, true, &file_).isOk(), "f != NULL");
  DOVREL_ASSERT(env.fileSize(currentLog_, &position_).isOk());
}

void Logger::closeJournal() {
  DOVREL_ASSERT(file_ != nullptr);
  DOVREL_ASSERT(file_->close().isOk());
  file_.reset();
}

void Logger::append(TextView query) {
  if (!enabled_) return;
  DOVREL_ASSERT(!shutDown_ && file_ != nullptr);
  const uint32_t n = query.length();
  const unsigned char length[LENGTH_BYTES] = {
      static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
      static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  DOVREL_ASSERT_TEXT(file_->append(length, LENGTH_BYTES).isOk(),
                     "fwrite(&length, 1, sizeof(length), f) == sizeof(length)");
  DOVREL_ASSERT_TEXT(file_->append(query.pointer(), n).isOk(),
                     "fwrite(s.pointer(), 1, s.length(), f) == s.length()");
  DOVREL_ASSERT_TEXT(file_->flush().isOk(), "fflush(f) == 0");
  position_ += LENGTH_BYTES + n;
}

void Logger::rotate() {
  if (!enabled_) return;
  DOVREL_ASSERT(!shutDown_);
  closeJournal();

  platform::Env& env = platform::Env::current();
  std::string archive = archiveName(logDir_, clock_.localTime());
  // Two commits within one second want the same name; the archive already there is never
  // replaced (invariant 4).
  int pass = 0;
  while (env.fileExists(archive)) {
    ++pass;
    DOVREL_ASSERT_TEXT(pass < 3, "pass < 3");
    clock_.sleepMs(ARCHIVE_RETRY_MS);
    archive = archiveName(logDir_, clock_.localTime());
  }
  DOVREL_ASSERT(env.renameFile(currentLog_, archive).isOk());

  DOVREL_ASSERT_TEXT(env.openWritableFile(currentLog_, false, &file_).isOk(), "f != NULL");
  DOVREL_ASSERT(file_->flush().isOk());
  position_ = 0;
}

void Logger::shutdown() {
  if (!enabled_) return;
  rotate();
  DOVREL_ASSERT(file_ != nullptr && position_ == 0);
  closeJournal();
  DOVREL_ASSERT(platform::Env::current().deleteFile(currentLog_).isOk());
  shutDown_ = true;
}

}  // namespace dovrel::server
