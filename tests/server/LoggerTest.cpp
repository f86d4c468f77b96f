// Tests of the query journal: records written and flushed before the query runs, replay of
// a journal left by a crash, archives after commits (with the same-second clash), the cut
// last record, shutdown on halt, and the journal that stays off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "platform/FaultInjectionEnv.h"
#include "server/FileTestSupport.h"
#include "server/Logger.h"

namespace dovrel::server {
namespace {

using testing::ConsoleCapture;
using testing::fileExists;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::string FOUND{"Найден лог запросов перед аварийным завершением - повторяем\n"_cp866};
const std::string FINISHED{"\nОбработка лога успешно завершена\n"_cp866};
const std::string CUT{"Последняя запись лога запросов оборвана и отброшена\n"_cp866};

// One journal record: the 4-byte little-endian length, then the body.
std::string record(std::string_view body) {
  const auto n = static_cast<uint32_t>(body.size());
  std::string bytes{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                    static_cast<char>(n >> 24)};
  return bytes + std::string(body);
}

// Remembers every query in order. "commit" and "halt" give those results, "bad login" is
// refused as the query parser refuses a failed login.
class RecordingExecutor final : public QueryExecutor {
 public:
  QueryResult execute(TextView query, TextBuffer& answer) override {
    queries.push_back(query.toString());
    answersEmptyOnEntry = answersEmptyOnEntry && answer.length() == 0;
    if (query.equals("bad login")) throw TextError("Ошибка в строке 1 столбце 1: отказ"_cp866);
    answer.append("OK\r\n");
    if (query.equals("commit")) return RESULT_COMMITTED;
    if (query.equals("halt")) return RESULT_HALT;
    return RESULT_DONE;
  }

  std::vector<std::string> queries;
  bool answersEmptyOnEntry = true;
};

// A local time that stands still until the journal sleeps.
class FakeClock final : public ArchiveClock {
 public:
  platform::CalendarTime localTime() override { return now; }
  void sleepMs(uint32_t milliseconds) override {
    sleptMs += milliseconds;
    now.second += static_cast<int>(milliseconds / 1000);
  }

  platform::CalendarTime now{2026, 3, 7, 9, 5, 1, 0};
  uint32_t sleptMs = 0;
};

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(logDir); }

  std::unique_ptr<Logger> start() { return std::make_unique<Logger>(logDir, executor, &clock); }
  std::string archive(int second) const {
    return logDir + "2026030709050" + std::to_string(second) + ".log";
  }
  // Names in the log directory other than current.log.
  std::vector<std::string> archives() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logDir)) {
      const std::string name = entry.path().filename().string();
      if (name != "current.log") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
  const std::string logDir = dir.file("LOGS") + "/";
  const std::string current = logDir + "current.log";
  RecordingExecutor executor;
  FakeClock clock;
  ConsoleCapture console;
};

TEST_F(LoggerTest, FirstStartMakesAnEmptyJournalQuietly) {
  auto logger = start();
  EXPECT_TRUE(logger->enabled());
  EXPECT_EQ(console.text(), "");
  EXPECT_TRUE(fileExists(current));
  EXPECT_EQ(readFile(current), "");
  EXPECT_TRUE(executor.queries.empty());
}

// Invariant 1: the record is with the system before the query runs, not when the Logger
// closes.
TEST_F(LoggerTest, EachRecordIsFlushedWhenAppended) {
  auto logger = start();
  logger->append(TextView("User: a\r\nPassword: \r\nselect"));
  EXPECT_EQ(readFile(current), record("User: a\r\nPassword: \r\nselect"));
  logger->append(TextView(""));
  EXPECT_EQ(readFile(current), record("User: a\r\nPassword: \r\nselect") + record(""));
}

// Invariant 3: replayed records run in order, once, and are not journalled again.
TEST_F(LoggerTest, ReplayRunsEveryRecordInOrderWithAStarEach) {
  const std::string journal = record("first") + record("") + record("third");
  writeFile(current, journal);
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"first", "", "third"}));
  EXPECT_TRUE(executor.answersEmptyOnEntry);
  EXPECT_EQ(console.text(), FOUND + "***" + FINISHED);
  // No commit: the work since the last commit stays journalled, and new records follow it.
  logger->append(TextView("fourth"));
  EXPECT_EQ(readFile(current), journal + record("fourth"));
  EXPECT_TRUE(archives().empty());
}

TEST_F(LoggerTest, EmptyJournalReplaysNothing) {
  writeFile(current, "");
  auto logger = start();
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(console.text(), FOUND + FINISHED);
  EXPECT_EQ(readFile(current), "");
}

TEST_F(LoggerTest, JournalEndingInACommitIsArchivedAfterReplay) {
  const std::string journal = record("add") + record("commit");
  writeFile(current, journal);
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"add", "commit"}));
  EXPECT_EQ(console.text(), FOUND + "**" + FINISHED);
  EXPECT_EQ(archives(), (std::vector<std::string>{"20260307090501.log"}));
  EXPECT_EQ(readFile(archive(1)), journal);
  EXPECT_EQ(readFile(current), "");
}

// Regression: a halt found in the journal used to archive it after replay, although the
// replay saves nothing; a second crash then lost the work since the last commit.
TEST_F(LoggerTest, ReplayedHaltKeepsTheUncommittedWorkJournalled) {
  const std::string journal = record("add") + record("halt");
  writeFile(current, journal);
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"add", "halt"}));
  EXPECT_TRUE(archives().empty());
  EXPECT_EQ(readFile(current), journal);
}

TEST_F(LoggerTest, RefusedQueryIsSkippedAndReplayGoesOn) {
  writeFile(current, record("bad login") + record("after"));
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"bad login", "after"}));
  EXPECT_EQ(console.text(), FOUND + "**" + FINISHED);
}

// Invariant 4: an archive is never overwritten.
TEST_F(LoggerTest, SecondCommitInTheSameSecondWaitsForTheNextName) {
  auto logger = start();
  logger->append(TextView("commit"));
  logger->rotate();
  logger->append(TextView("again"));
  logger->append(TextView("commit"));
  logger->rotate();
  EXPECT_EQ(clock.sleptMs, 1000u);
  EXPECT_EQ(archives(), (std::vector<std::string>{"20260307090501.log", "20260307090502.log"}));
  EXPECT_EQ(readFile(archive(1)), record("commit"));
  EXPECT_EQ(readFile(archive(2)), record("again") + record("commit"));
  EXPECT_EQ(readFile(current), "");
}

TEST_F(LoggerTest, ArchiveNameIsTheZeroPaddedLocalTime) {
  EXPECT_EQ(Logger::archiveName("LOGS/", {987, 1, 2, 3, 4, 5, 999}), "LOGS/09870102030405.log");
  EXPECT_EQ(Logger::archiveName("", {2026, 12, 31, 23, 59, 59, 0}), "20261231235959.log");
}

// Invariant 2: a record cut short by a crash is dropped and the file truncated to the whole
// records before anything new is appended.
class LoggerCutRecordTest : public LoggerTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(LoggerCutRecordTest, CutLastRecordIsDroppedAndReplayGoesOn) {
  const std::string whole = record("one") + record("commit") + record("two");
  writeFile(current, whole + GetParam());
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"one", "commit", "two"}));
  EXPECT_EQ(console.text(), FOUND + CUT + "***" + FINISHED);
  // The commit made a rotation due: the archive holds the whole records only.
  EXPECT_EQ(readFile(archive(1)), whole);
  logger->append(TextView("three"));
  EXPECT_EQ(readFile(current), record("three"));
}

INSTANTIATE_TEST_SUITE_P(CutPoints, LoggerCutRecordTest,
                         ::testing::Values(std::string("\x05", 1),       // in the length
                                           std::string("\x05\0\0", 3),   // one byte short
                                           record("lost").substr(0, 6),  // in the body
                                           record("lost").substr(0, 7),  // last byte missing
                                           std::string("\xFF\xFF\xFF\xFFx", 5)));  // 4 GiB claimed

TEST_F(LoggerTest, CutRecordWithoutACommitLeavesTheWholeRecordsJournalled) {
  writeFile(current, record("one") + record("lost").substr(0, 5));
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"one"}));
  EXPECT_EQ(readFile(current), record("one"));
  logger->append(TextView("two"));
  EXPECT_EQ(readFile(current), record("one") + record("two"));
}

// Invariant 5: after a halt the next start has nothing to replay.
TEST_F(LoggerTest, ShutdownArchivesAndRemovesTheJournal) {
  {
    auto logger = start();
    logger->append(TextView("add"));
    logger->append(TextView("halt"));
    logger->shutdown();
    EXPECT_FALSE(fileExists(current));
    EXPECT_EQ(readFile(archive(1)), record("add") + record("halt"));
  }
  auto next = start();
  EXPECT_EQ(console.text(), "");
  EXPECT_TRUE(executor.queries.empty());
}

// Without a halt the journal stays for the next start, even though the Logger is gone.
TEST_F(LoggerTest, DestroyingWithoutAHaltKeepsTheJournal) {
  start()->append(TextView("add"));
  auto next = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"add"}));
}

TEST_F(LoggerTest, MissingLogDirectoryTurnsJournallingOffSilently) {
  const std::string missing = dir.file("NOLOGS") + "/";
  Logger logger(missing, executor, &clock);
  EXPECT_FALSE(logger.enabled());
  logger.append(TextView("add"));
  logger.rotate();
  logger.shutdown();
  EXPECT_FALSE(fileExists(missing));
  EXPECT_EQ(console.text(), "");
}

// A journal that is off does nothing more, not even replay a journal that is there.
TEST_F(LoggerTest, UnwritableLogDirectoryNeitherReplaysNorWrites) {
  writeFile(current, record("add"));
  platform::FaultInjectionEnv env;
  env.failAt(platform::FaultKind::OPEN, 1, EACCES);
  platform::Env::setCurrent(&env);
  auto logger = start();
  platform::Env::setCurrent(nullptr);
  EXPECT_FALSE(logger->enabled());
  logger->append(TextView("more"));
  logger->rotate();
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(console.text(), "");
  EXPECT_EQ(readFile(current), record("add"));
  EXPECT_TRUE(archives().empty());
}

}  // namespace
}  // namespace dovrel::server
