// The query journal of the real server: every query is journalled before it runs, a commit
// archives the journal, a halt archives and removes it, and after a kill -9 the next start
// replays it before it takes connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "E2ETest.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "foundation/Crc32.h"
#include "support/Files.h"

namespace dovrel::e2e {
namespace {

using testsupport::readFile;

using client::ClientConnection;
using client::RequestMode;

const std::string COMMIT = "User: admin\r\nPassword: secret\r\ncommit;";
const std::string HALT = "User: admin\r\nPassword: secret\r\nhalt;";
const std::string BAD_PASSWORD = "User: admin\r\nPassword: wrong\r\ncommit;";
const std::string UNKNOWN = "User: guest\r\nPassword: guest\r\nfrobnicate;";
const std::string NOT_ALLOWED = "User: guest\r\nPassword: guest\r\ncommit;";

const std::string FOUND = "Найден лог запросов перед аварийным завершением - повторяем\n";
const std::string REPLAYED = "\nОбработка лога успешно завершена\n";

// One journal record: FE FF FF FF, the body length, the CRC-32 of those 8 bytes and the
// CRC-32 of the body (all little-endian), then the body.
std::string record(const std::string& body) {
  std::string bytes(4, '\xFE');
  bytes[1] = bytes[2] = bytes[3] = '\xFF';
  auto put = [&bytes](uint32_t n) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(n >> (8 * i)));
  };
  put(static_cast<uint32_t>(body.size()));
  put(crc32(bytes.data(), bytes.size()));
  put(crc32(body.data(), body.size()));
  return bytes + body;
}

// A commit marker (length word FFFFFFFF) or a commit intent (FDFFFFFF): the word, the
// covered length (8 bytes) and the CRC-32 of those 12 bytes, all little-endian.
std::string control(uint32_t word, uint64_t covered) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(word >> (8 * i)));
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(covered >> (8 * i)));
  const uint32_t crc = crc32(bytes.data(), bytes.size());
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(crc >> (8 * i)));
  return bytes;
}

// `journal` as a commit (or a halt) leaves it: the intent written once the commit is under
// way, then the marker covering everything before it, the intent included.
std::string committed(const std::string& journal) {
  const uint64_t size = journal.size();
  return journal + control(0xFFFFFFFDu, size) + control(0xFFFFFFFFu, size + 16);
}

std::string records(const std::vector<std::string>& bodies) {
  std::string bytes;
  for (const std::string& body : bodies) bytes += record(body);
  return bytes;
}

class JournalE2ETest : public E2ETest {
 protected:
  std::string logs() const { return instance_->directory() + "LOGS/"; }
  std::string currentLog() const { return logs() + "current.log"; }
  // The archives, oldest first; each name is 14 digits of local time and ".log".
  std::vector<std::string> archives() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logs())) {
      const std::string name = entry.path().filename().string();
      if (name != "current.log") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      EXPECT_TRUE(std::regex_match(name, std::regex("[0-9]{14}\\.log"))) << name;
    }
    return names;
  }
  std::string archive(std::size_t i) const { return readFile(logs() + archives().at(i)); }
  std::string ask(const std::string& body) {
    ClientConnection connection("127.0.0.1", instance_->port());
    return connection.request(body, RequestMode::KNOWN_LENGTH).text;
  }
  // The part of the console that a replay printed: what lies between its two messages.
  // The server listens before it replays, so a start that has returned may still be
  // replaying: this waits for the end of the replay (10 s at most).
  std::string replayOutput() const {
    std::string console = instance_->console();
    for (int i = 0; i < 1000 && console.find(REPLAYED) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      console = instance_->console();
    }
    const auto begin = console.find(FOUND);
    const auto end = console.find(REPLAYED);
    if (begin == std::string::npos || end == std::string::npos) return "<no replay>";
    return console.substr(begin + FOUND.size(), end - begin - FOUND.size());
  }
};

TEST_F(JournalE2ETest, CommitArchivesTheJournalAndStartsAnEmptyOne) {
  ASSERT_TRUE(instance_->start());
  ask(UNKNOWN);
  EXPECT_EQ(readFile(currentLog()), record(UNKNOWN));
  ask(COMMIT);
  ASSERT_EQ(archives().size(), 1u);
  const std::string journal = records({UNKNOWN, COMMIT});
  EXPECT_EQ(archive(0), committed(journal));
  EXPECT_EQ(readFile(currentLog()), "");
}

// A second commit within one second never waits for a free archive name: the journal
// stays, covered by its marker, and a kill then replays none of it.
TEST_F(JournalE2ETest, CommitsInOneSecondKeepTheJournalAndNeverOverwriteAnArchive) {
  ASSERT_TRUE(instance_->start());
  ask(COMMIT);
  ask(NOT_ALLOWED);
  ask(COMMIT);
  const std::string second = records({NOT_ALLOWED, COMMIT});
  ASSERT_GE(archives().size(), 1u);
  EXPECT_EQ(archive(0), committed(record(COMMIT)));
  if (archives().size() == 2) {  // the two commits fell into two seconds
    EXPECT_EQ(archive(1), committed(second));
    return;
  }
  EXPECT_EQ(readFile(currentLog()), committed(second));
  instance_->stop(SIGKILL);
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(replayOutput(), "");
}

TEST_F(JournalE2ETest, KilledServerReplaysItsJournalBeforeItTakesConnections) {
  ASSERT_TRUE(instance_->start());
  ask(BAD_PASSWORD);
  ask(UNKNOWN);
  ask(NOT_ALLOWED);
  instance_->stop(SIGKILL);
  EXPECT_EQ(readFile(currentLog()), records({BAD_PASSWORD, UNKNOWN, NOT_ALLOWED}));

  ASSERT_TRUE(instance_->start());
  // The refused queries fail again, silently: only the wrong password's hash line shows.
  const std::string replay = replayOutput();
  EXPECT_EQ(std::count(replay.begin(), replay.end(), '*'), 3) << replay;
  EXPECT_EQ(replay.find("Ошибка"), std::string::npos) << replay;
  // Without a commit among them the records stay journalled, and the next commit archives
  // them with itself.
  EXPECT_EQ(readFile(currentLog()), records({BAD_PASSWORD, UNKNOWN, NOT_ALLOWED}));
  EXPECT_EQ(ask(COMMIT), "OK\r\n");
  ASSERT_EQ(archives().size(), 1u);
  const std::string journal = records({BAD_PASSWORD, UNKNOWN, NOT_ALLOWED, COMMIT});
  EXPECT_EQ(archive(0), committed(journal));
}

TEST_F(JournalE2ETest, ReplayedCommitArchivesTheJournal) {
  ASSERT_TRUE(instance_->start());
  ask(UNKNOWN);
  instance_->stop(SIGKILL);
  // As if the server died while answering a commit.
  std::ofstream(currentLog(), std::ios::binary | std::ios::app) << record(COMMIT);

  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(replayOutput(), "**");
  ASSERT_EQ(archives().size(), 1u);
  // A replayed commit covers the records up to its own.
  const std::string journal = records({UNKNOWN, COMMIT});
  EXPECT_EQ(archive(0),
            journal + control(0xFFFFFFFDu, journal.size()) + control(0xFFFFFFFFu, journal.size()));
  EXPECT_EQ(readFile(currentLog()), "");
}

TEST_F(JournalE2ETest, CutLastRecordIsDroppedAndTheWholeOnesReplayed) {
  std::ofstream(currentLog(), std::ios::binary) << record(UNKNOWN) << record(COMMIT).substr(0, 10);
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(replayOutput(), "Последняя запись лога запросов оборвана и отброшена\n*");
  EXPECT_EQ(readFile(currentLog()), record(UNKNOWN));
  ask(NOT_ALLOWED);
  EXPECT_EQ(readFile(currentLog()), records({UNKNOWN, NOT_ALLOWED}));
}

TEST_F(JournalE2ETest, HaltArchivesAndRemovesTheJournal) {
  ASSERT_TRUE(instance_->start());
  ask(UNKNOWN);
  {
    ClientConnection connection("127.0.0.1", instance_->port());
    connection.send(HALT, RequestMode::KNOWN_LENGTH);
    // A halt has no answer: the connection just ends.
    EXPECT_THROW(connection.receive(RequestMode::KNOWN_LENGTH), client::ClientError);
  }
  EXPECT_EQ(instance_->waitForExit(10000), 0);
  EXPECT_NE(instance_->console().find("работа завершена, сохраняемся\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(currentLog()));
  ASSERT_EQ(archives().size(), 1u);
  const std::string journal = records({UNKNOWN, HALT});
  EXPECT_EQ(archive(0), committed(journal));

  ASSERT_TRUE(instance_->start());
  ask(NOT_ALLOWED);  // answered once the start is complete
  EXPECT_EQ(instance_->console().find(FOUND), std::string::npos);
  EXPECT_EQ(readFile(currentLog()), record(NOT_ALLOWED));
}

}  // namespace
}  // namespace dovrel::e2e
