// A kill after a commit that has saved the tables and marked the journal but not archived
// it: every archive name the real server could take in the next seconds exists already, so
// the commit keeps current.log after its marker; the server is killed then and restarted.
// One test thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/TableE2ETest.h"
#include "support/Files.h"

namespace dovrel::e2e {
namespace {

using testsupport::readFile;

class CrashCommitMarkerTest : public TableE2ETest {
 protected:
  std::string logs() const { return instance_->directory() + "LOGS/"; }

  // Archive names for the local seconds from now-1 to now+`seconds`, so that a rotation in
  // that span finds its name taken. They are empty files.
  void takeArchiveNames(int seconds) {
    const std::time_t now = std::time(nullptr);
    for (int s = -1; s <= seconds; ++s) {
      const std::time_t when = now + s;
      std::tm local{};
      localtime_r(&when, &local);
      char name[32];
      std::strftime(name, sizeof name, "%Y%m%d%H%M%S.log", &local);
      std::ofstream(logs() + name).close();
    }
  }
  void freeArchiveNames() {
    for (const auto& entry : std::filesystem::directory_iterator(logs())) {
      if (entry.path().filename() != "current.log" && entry.file_size() == 0) {
        std::filesystem::remove(entry.path());
      }
    }
  }

  // Waits (2 s at most) until current.log ends with a commit marker: length word FFFFFFFF
  // and 12 more bytes.
  bool waitForMarker() {
    for (int i = 0; i < 2000; ++i) {
      const std::string journal = readFile(logs() + "current.log");
      if (journal.size() >= 16 &&
          journal.compare(journal.size() - 16, 4, "\xFF\xFF\xFF\xFF") == 0) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
};

// Regression: the next start used to replay the committed adds a second time.
TEST_F(CrashCommitMarkerTest, KillAfterCommitBeforeArchiveAddsNothingTwice) {
  startWithBooks();
  ASSERT_EQ(ask("i", "add " + book("first") + " to table books;"), "OK\r\ndocument 0\r\n");
  ASSERT_EQ(ask("i", "add " + book("second", "'1999'") + " to table books;"),
            "OK\r\ndocument 1\r\n");
  takeArchiveNames(4);
  {
    client::ClientConnection connection("127.0.0.1", instance_->port());
    connection.send("User: admin\r\nPassword: secret\r\ncommit;",
                    client::RequestMode::KNOWN_LENGTH);
    ASSERT_TRUE(waitForMarker()) << instance_->console();
    instance_->stop(SIGKILL);
  }
  ASSERT_FALSE(std::filesystem::exists(instance_->directory() + "critical.txt"));
  freeArchiveNames();

  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask("s", "get table books length;"), "OK\r\n2\r\n2\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books; document 1 from table books;"),
            "OK\r\n" + bookText("first") + bookText("second", "'1999'"));
  // Work after the restart goes on from the committed state.
  EXPECT_EQ(ask("i", "add " + book("third") + " to table books;"), "OK\r\ndocument 2\r\n");
  instance_->stop(SIGKILL);
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask("s", "get table books length;"), "OK\r\n3\r\n3\r\n");
}

}  // namespace
}  // namespace dovrel::e2e
