// Tests of the query journal: records written and flushed before the query runs, replay of
// a journal left by a crash, commit markers, archives after commits (with the same-second
// clash), the cut last record, shutdown on halt, and the journal that stays off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Crc32.h"
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

std::string littleEndian(uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
          static_cast<char>(n >> 24)};
}

// A journal record as the server writes it: FE FF FF FF, the length, the CRC-32 of those
// 8 bytes, the CRC-32 of the body, then the body.
std::string record(std::string_view body) {
  std::string header = littleEndian(0xFFFFFFFEu) + littleEndian(static_cast<uint32_t>(body.size()));
  header += littleEndian(crc32(header.data(), header.size()));
  return header + littleEndian(crc32(body.data(), body.size())) + std::string(body);
}

// What a replayed commit appends for the journal's first `end` bytes: its intent, then its
// marker.
std::string replayedCommit(uint64_t end) {
  return Logger::commitIntent(end) + Logger::commitMarker(end);
}

// A record of a journal written before records carried checksums: the length and the body.
std::string plain(std::string_view body) {
  return littleEndian(static_cast<uint32_t>(body.size())) + std::string(body);
}

// Remembers every query in order. "commit" and "halt" give those results, a commit telling
// the registered listener as the tables do; "bad login" is refused as the query parser
// refuses a failed login. `interrupted` plays a start that undid a commit.
class RecordingExecutor final : public QueryExecutor {
 public:
  QueryResult execute(TextView query, TextBuffer& answer) override {
    queries.push_back(query.toString());
    settledBeforeQuery = settledBeforeQuery && !interrupted;
    answersEmptyOnEntry = answersEmptyOnEntry && answer.length() == 0;
    if (query.equals("bad login")) throw TextError("Ошибка в строке 1 столбце 1: отказ"_cp866);
    answer.append("OK\r\n");
    if (query.equals("commit")) {
      commitStarting();
      return RESULT_COMMITTED;
    }
    if (query.equals("halt")) return RESULT_HALT;
    return RESULT_DONE;
  }
  bool commitInterrupted() const override { return interrupted; }
  void settleInterruptedCommit() override {
    interrupted = false;
    ++settles;
  }
  void setCommitListener(std::weak_ptr<CommitListener> registered) override {
    listener = std::move(registered);
  }
  void commitStarting() {
    if (auto told = listener.lock()) told->commitStarting();
  }

  std::vector<std::string> queries;
  bool answersEmptyOnEntry = true;
  bool interrupted = false;
  bool settledBeforeQuery = true;
  int settles = 0;
  std::weak_ptr<CommitListener> listener;
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
  EXPECT_EQ(readFile(archive(1)), journal + replayedCommit(journal.size()));
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

// Invariants 4 and 10. Regression: a second commit within one second slept a second for
// the next archive name while it held the parser, so every client stalled with it.
TEST_F(LoggerTest, SecondCommitInTheSameSecondKeepsTheJournalWithoutWaiting) {
  auto logger = start();
  logger->append(TextView("commit"));
  logger->rotate();
  const std::string first = record("commit") + Logger::commitMarker(record("commit").size());
  logger->append(TextView("again"));
  logger->append(TextView("commit"));
  logger->rotate();
  EXPECT_EQ(clock.sleptMs, 0u);
  EXPECT_EQ(archives(), (std::vector<std::string>{"20260307090501.log"}));
  EXPECT_EQ(readFile(archive(1)), first);
  const std::string kept = record("again") + record("commit");
  const std::string marked = kept + Logger::commitMarker(kept.size());
  EXPECT_EQ(readFile(current), marked);

  // A crash now replays nothing: the kept journal's marker covers both of its queries.
  logger.reset();
  executor.queries.clear();
  logger = start();
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(readFile(current), marked);  // still the second's name: kept again

  // The next commit in a free second archives the spans of both commits in one file.
  logger->append(TextView("third"));
  logger->append(TextView("commit"));
  clock.now.second = 2;
  logger->rotate();
  const std::string both = marked + record("third") + record("commit");
  EXPECT_EQ(readFile(archive(2)), both + Logger::commitMarker(both.size()));
  EXPECT_EQ(readFile(current), "");
  EXPECT_EQ(clock.sleptMs, 0u);
}

// The halt must remove current.log, so it waits for a free name (once per process).
TEST_F(LoggerTest, HaltInATakenSecondWaitsForTheNextName) {
  auto logger = start();
  logger->append(TextView("commit"));
  logger->rotate();
  logger->append(TextView("halt"));
  logger->shutdown();
  EXPECT_EQ(clock.sleptMs, 1000u);
  EXPECT_EQ(readFile(archive(2)), record("halt") + Logger::commitMarker(record("halt").size()));
  EXPECT_FALSE(fileExists(current));
}

TEST_F(LoggerTest, NamesStillTakenAfterBothWaitsGiveTheNextFreeSecond) {
  // The clock was set back over earlier commits: the names of seconds 1-4 exist.
  for (int second = 1; second <= 4; ++second) writeFile(archive(second), "older");
  auto logger = start();
  logger->append(TextView("commit"));
  logger->rotate();
  EXPECT_EQ(clock.sleptMs, 0u);  // a commit never waits: the journal stays
  logger->append(TextView("halt"));
  logger->shutdown();
  EXPECT_EQ(clock.sleptMs, 2000u);  // the halt's two waits, then no more
  const std::string journal =
      record("commit") + Logger::commitMarker(record("commit").size()) + record("halt");
  EXPECT_EQ(readFile(archive(5)), journal + Logger::commitMarker(journal.size()));
  for (int second = 1; second <= 4; ++second) EXPECT_EQ(readFile(archive(second)), "older");
  EXPECT_FALSE(fileExists(current));
}

TEST_F(LoggerTest, NextSecondCarriesIntoMinutesDaysMonthsAndYears) {
  const auto next = [](platform::CalendarTime time) {
    return Logger::archiveName("", Logger::nextSecond(time));
  };
  EXPECT_EQ(next({2026, 3, 7, 9, 5, 1, 500}), "20260307090502.log");
  EXPECT_EQ(next({2026, 3, 7, 9, 5, 60, 0}), "20260307090600.log");  // a leap second
  EXPECT_EQ(next({2026, 3, 7, 23, 59, 59, 0}), "20260308000000.log");
  EXPECT_EQ(next({2026, 4, 30, 23, 59, 59, 0}), "20260501000000.log");
  EXPECT_EQ(next({2024, 2, 28, 23, 59, 59, 0}), "20240229000000.log");
  EXPECT_EQ(next({2023, 2, 28, 23, 59, 59, 0}), "20230301000000.log");
  EXPECT_EQ(next({1900, 2, 28, 23, 59, 59, 0}), "19000301000000.log");
  EXPECT_EQ(next({2000, 2, 28, 23, 59, 59, 0}), "20000229000000.log");
  EXPECT_EQ(next({2026, 12, 31, 23, 59, 59, 0}), "20270101000000.log");
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
  // The cut bytes are gone; the replayed commit is marked, and "two" after it keeps the
  // journal from being archived.
  const std::string marked = whole + replayedCommit(record("one").size() + record("commit").size());
  EXPECT_EQ(readFile(current), marked);
  EXPECT_TRUE(archives().empty());
  logger->append(TextView("three"));
  EXPECT_EQ(readFile(current), marked + record("three"));
}

INSTANTIATE_TEST_SUITE_P(CutPoints, LoggerCutRecordTest,
                         ::testing::Values(std::string("\x05", 1),        // in the length
                                           std::string("\x05\0\0", 3),    // one byte short
                                           record("lost").substr(0, 6),   // in the header
                                           record("lost").substr(0, 18),  // in the body
                                           record("lost").substr(0, 19),  // last byte missing
                                           std::string("\xFF\xFF\xFF\xFFx", 5)));  // 4 GiB claimed

TEST_F(LoggerTest, CutRecordWithoutACommitLeavesTheWholeRecordsJournalled) {
  writeFile(current, record("one") + record("lost").substr(0, 5));
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"one"}));
  EXPECT_EQ(readFile(current), record("one"));
  logger->append(TextView("two"));
  EXPECT_EQ(readFile(current), record("one") + record("two"));
}

// The process dies inside a rotation, after the commit saved the tables: the clock that
// names the archive is the last thing the rotation asks before it renames the journal.
class DyingClock final : public ArchiveClock {
 public:
  struct Died {};
  platform::CalendarTime localTime() override { throw Died{}; }
  void sleepMs(uint32_t) override {}
};

// Invariant 7. Regression: a crash after a commit had saved the tables but before the
// journal was archived used to replay the committed adds again at the next start.
TEST_F(LoggerTest, CrashBetweenCommitAndArchiveReplaysNothingCommitted) {
  {
    DyingClock dying;
    Logger logger(logDir, executor, &dying);
    logger.append(TextView("add"));
    logger.append(TextView("commit"));
    EXPECT_THROW(logger.rotate(), DyingClock::Died);
  }
  const std::string journal = record("add") + record("commit");
  EXPECT_EQ(readFile(current), journal + Logger::commitMarker(journal.size()));
  auto logger = start();
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(console.text(), FOUND + FINISHED);
  // Everything in it is committed: it is archived now, and the next start has nothing.
  EXPECT_EQ(readFile(archive(1)), journal + Logger::commitMarker(journal.size()));
  EXPECT_EQ(readFile(current), "");
}

// Only the records after the last marker run; the committed ones before it are skipped.
TEST_F(LoggerTest, ReplayStartsAfterTheLastCommitMarker) {
  const std::string first = record("add") + record("commit");
  const std::string second =
      first + Logger::commitMarker(first.size()) + record("second") + record("commit");
  const std::string journal = second + Logger::commitMarker(second.size()) + record("third");
  writeFile(current, journal);
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"third"}));
  EXPECT_EQ(console.text(), FOUND + "*" + FINISHED);
  EXPECT_EQ(readFile(current), journal);
  EXPECT_TRUE(archives().empty());
}

// Invariants 7 and 8. Regression: a replayed commit followed by uncommitted queries used
// to archive the whole journal, so a second crash lost those queries; and without a mark a
// second crash would have run the replayed commit's adds once more.
TEST_F(LoggerTest, ReplayedCommitIsMarkedAndTheWorkAfterItStaysJournalled) {
  const std::string journal = record("add") + record("commit") + record("later");
  writeFile(current, journal);
  start().reset();  // replays, then "crashes"
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"add", "commit", "later"}));
  const std::string marked =
      journal + replayedCommit(record("add").size() + record("commit").size());
  EXPECT_EQ(readFile(current), marked);
  EXPECT_TRUE(archives().empty());

  executor.queries.clear();
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"later"}));
  EXPECT_EQ(readFile(current), marked);
}

// Invariant 9: a commit under way writes its intent, and the marker after it covers both.
TEST_F(LoggerTest, ACommitWritesItsIntentBeforeItsMarker) {
  auto logger = start();
  logger->append(TextView("add"));
  logger->append(TextView("commit"));
  const std::string journal = record("add") + record("commit");
  executor.commitStarting();
  EXPECT_EQ(readFile(current), journal + Logger::commitIntent(journal.size()));
  logger->rotate();
  EXPECT_EQ(readFile(archive(1)), journal + Logger::commitIntent(journal.size()) +
                                      Logger::commitMarker(journal.size() + 16));
  // Once the Logger is gone a commit tells nobody.
  logger.reset();
  EXPECT_TRUE(executor.listener.expired());
}

// Regression: a kill after the tables' commit was complete but before its marker was
// written replayed the committed adds a second time at the next start.
TEST_F(LoggerTest, AnIntentWhoseCommitCompletedCountsAsItsMarker) {
  const std::string journal = record("add") + record("commit");
  const std::string left = journal + Logger::commitIntent(journal.size());
  writeFile(current, left);
  auto logger = start();
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(console.text(), FOUND + FINISHED);
  // Settled with a marker, and everything in it is committed, so it is archived.
  EXPECT_EQ(readFile(archive(1)), left + Logger::commitMarker(journal.size()));
  EXPECT_EQ(readFile(current), "");
  EXPECT_EQ(executor.settles, 1);
}

// The tables undid the commit (their marker was still there): the intent is voided with a
// marker for the previous commit before the tables' marker goes, and the span runs again.
// A crash at either point after that gives the same result at the next start.
TEST_F(LoggerTest, AnIntentWhoseCommitWasUndoneRunsItsSpanAgain) {
  const std::string before = record("old") + record("commit");
  const std::string committed = before + Logger::commitMarker(before.size());
  const std::string span = record("add") + record("commit");
  const std::string left = committed + span + Logger::commitIntent(committed.size() + span.size());
  const std::string voided = left + Logger::commitMarker(before.size());
  const uint64_t replayedEnd = committed.size() + span.size();
  const std::string replayed =
      voided + Logger::commitIntent(replayedEnd) + Logger::commitMarker(replayedEnd);

  // The crash right after the void, while the tables' marker was still kept: the start
  // undoes the commit again and finds nothing to settle in the journal.
  for (const std::string& journal : {left, voided}) {
    writeFile(current, journal);
    executor = RecordingExecutor();
    executor.interrupted = true;
    start().reset();
    EXPECT_EQ(executor.queries, (std::vector<std::string>{"add", "commit"}));
    EXPECT_TRUE(executor.settledBeforeQuery);
    EXPECT_EQ(executor.settles, 1);
    ASSERT_EQ(archives().size(), 1u);
    EXPECT_EQ(readFile(logDir + archives().front()), replayed);
    std::filesystem::remove(logDir + archives().front());
  }
}

// An intent with a marker after it is settled already, whatever the tables report.
TEST_F(LoggerTest, AnIntentFollowedByAMarkerNeedsNoSettling) {
  const std::string journal = record("add") + record("commit");
  const std::string marked = journal + Logger::commitIntent(journal.size()) +
                             Logger::commitMarker(journal.size() + 16) + record("later");
  writeFile(current, marked);
  executor.interrupted = true;  // a crash in a later commit before its intent
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"later"}));
  EXPECT_EQ(readFile(current), marked);
}

// A marker that does not check out cannot say what is committed: the start is refused
// before any query runs, and the journal is left as it is for the operator.
class LoggerBrokenMarkerTest : public LoggerTest,
                               public ::testing::WithParamInterface<std::pair<int, std::string>> {};

TEST_P(LoggerBrokenMarkerTest, RefusesTheStart) {
  const std::string journal = record("add") + record("commit") + GetParam().second;
  writeFile(current, journal);
  EXPECT_THROW(start(), TextError) << GetParam().first;
  EXPECT_TRUE(executor.queries.empty());
  EXPECT_EQ(readFile(current), journal);
}

std::string flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  return bytes;
}

// The end of the two records before the marker.
const uint64_t END = record("add").size() + record("commit").size();

INSTANTIATE_TEST_SUITE_P(
    Markers, LoggerBrokenMarkerTest,
    ::testing::Values(std::make_pair(1, flipped(Logger::commitMarker(END), 5)),   // offset
                      std::make_pair(2, flipped(Logger::commitMarker(END), 14)),  // checksum
                      std::make_pair(3, Logger::commitMarker(9)),                 // inside a record
                      std::make_pair(4, Logger::commitMarker(END + 1)),           // past itself
                      std::make_pair(5, Logger::commitMarker(END) + Logger::commitMarker(0)),
                      std::make_pair(6, plain("after checked records")),
                      std::make_pair(7, flipped(Logger::commitIntent(END), 5)),
                      std::make_pair(8, flipped(Logger::commitIntent(END), 14)),
                      std::make_pair(9, Logger::commitIntent(9)),
                      std::make_pair(10, Logger::commitIntent(END + 1)),
                      std::make_pair(11, Logger::commitMarker(END) + Logger::commitIntent(0))));

// Any damaged byte of a checked journal stops the start before a query of it runs: the
// type word, the length, either checksum, the body.
class LoggerDamagedRecordTest : public LoggerTest, public ::testing::WithParamInterface<int> {};

TEST_P(LoggerDamagedRecordTest, StopsTheStartBeforeAnyQueryRuns) {
  const std::string journal = record("add") + record("commit") + record("later");
  const std::size_t at = record("add").size() + record("commit").size() + GetParam();
  for (int bit = 0; bit < 8; ++bit) {
    std::string damaged = journal;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
    writeFile(current, damaged);
    EXPECT_THROW(start(), TextError) << "bit " << bit;
    EXPECT_TRUE(executor.queries.empty()) << "bit " << bit;
    EXPECT_EQ(readFile(current), damaged);
  }
}

INSTANTIATE_TEST_SUITE_P(Positions, LoggerDamagedRecordTest,
                         ::testing::Values(0, 3, 4, 7, 8, 11, 12, 15, 16, 20));

// Journals written before records carried checksums replay as they did.
TEST_F(LoggerTest, PlainRecordsOfAnOlderJournalReplay) {
  const std::string journal = plain("add") + plain("commit") + plain("later");
  writeFile(current, journal + plain("cut").substr(0, 5));
  auto logger = start();
  EXPECT_EQ(executor.queries, (std::vector<std::string>{"add", "commit", "later"}));
  EXPECT_EQ(console.text(), FOUND + CUT + "***" + FINISHED);
  const std::string marked = journal + replayedCommit(plain("add").size() + 10);
  EXPECT_EQ(readFile(current), marked);
  logger->append(TextView("new"));
  EXPECT_EQ(readFile(current), marked + record("new"));
}

// Invariant 5: after a halt the next start has nothing to replay.
// A journal write that fails, at each step that writes: the step throws the disk error when
// its failure must stop the server, the journal then writes nothing more (the query of a
// failed record does not run, so its record must not replay), and the next start replays
// exactly the work that ran and was not committed.
struct JournalFault {
  const char* name;
  const char* step;  // "append", "intent", "rotate" or "shutdown", after "add1" and, for
                     // the last three, "commit" were journalled
  platform::FaultKind kind;
  uint64_t nth;
  bool throws;
  bool failed;  // the journal writes nothing more
  std::vector<std::string> replayed;
};

class LoggerFaultTest : public LoggerTest, public ::testing::WithParamInterface<JournalFault> {};

using platform::FaultKind;

TEST_P(LoggerFaultTest, FailedWriteStopsTheJournalOrIsSurvived) {
  const JournalFault& fault = GetParam();
  const std::string step = fault.step;
  platform::FaultInjectionEnv env;
  platform::Env::setCurrent(&env);
  {
    auto logger = start();
    logger->append(TextView("add1"));
    if (step != "append") logger->append(TextView("commit"));
    if (step == "rotate") executor.commitStarting();
    env.failAt(fault.kind, fault.nth, ENOSPC, true);
    bool thrown = false;
    try {
      if (step == "append") logger->append(TextView("add2"));
      if (step == "intent") executor.commitStarting();
      if (step == "rotate") logger->rotate();
      if (step == "shutdown") logger->shutdown();
    } catch (const DiskOrMemoryError& error) {
      thrown = true;
      if (fault.kind != FaultKind::RENAME) {
        EXPECT_EQ(error.message(), std::string("ошибка записи в "_cp866) + current);
      }
    }
    env.clearFaults();
    EXPECT_EQ(thrown, fault.throws);
    EXPECT_EQ(logger->failed(), fault.failed);
    if (fault.failed) {
      EXPECT_THROW(logger->append(TextView("after")), DiskOrMemoryError);
      logger->rotate();
      logger->shutdown();
    } else if (step != "shutdown") {
      logger->append(TextView("after"));
    }
  }
  platform::Env::setCurrent(nullptr);
  executor.queries.clear();
  auto next = start();
  EXPECT_EQ(executor.queries, fault.replayed);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoggerFaultTest,
    ::testing::Values(
        JournalFault{"RecordHeader", "append", FaultKind::WRITE, 1, true, true, {"add1"}},
        JournalFault{"RecordBody", "append", FaultKind::WRITE, 2, true, true, {"add1"}},
        // The whole record may be in the file already: it is cut off again.
        JournalFault{"RecordFlush", "append", FaultKind::FLUSH, 1, true, true, {"add1"}},
        // No intent, no commit: the tables stay as they were and the span runs again.
        JournalFault{"Intent", "intent", FaultKind::WRITE, 1, true, true, {"add1", "commit"}},
        // The commit is complete and its intent stands for the marker.
        JournalFault{"Marker", "rotate", FaultKind::WRITE, 1, true, true, {}},
        // Survived: current.log goes on after its marker, as when the name is taken.
        JournalFault{"ArchiveRename", "rotate", FaultKind::RENAME, 1, false, false, {"after"}},
        JournalFault{"HaltMarker", "shutdown", FaultKind::WRITE, 1, true, true, {"add1", "commit"}},
        // The marker is written: the next start replays nothing, though the archive is missing.
        JournalFault{"HaltRename", "shutdown", FaultKind::RENAME, 1, true, false, {}}),
    [](const ::testing::TestParamInfo<JournalFault>& info) { return info.param.name; });

TEST_F(LoggerTest, ShutdownArchivesAndRemovesTheJournal) {
  {
    auto logger = start();
    logger->append(TextView("add"));
    logger->append(TextView("halt"));
    logger->shutdown();
    EXPECT_FALSE(fileExists(current));
    EXPECT_EQ(readFile(archive(1)),
              record("add") + record("halt") +
                  Logger::commitMarker(record("add").size() + record("halt").size()));
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
  // Nothing to coordinate with: an undone commit is settled at once.
  EXPECT_EQ(executor.settles, 1);
  EXPECT_TRUE(executor.listener.expired());
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
