// Stop signals against the real server under load: adds run from a client while the server
// gets SIGTERM or SIGINT (sent twice, the second while it saves). Each must end it as a halt
// does: status 0, the halt's console line, the journal archived and removed, so the next
// start replays nothing, and every acknowledged add is there with its text.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/TableE2ETest.h"

namespace dovrel::e2e {
namespace {

struct StopCase {
  const char* name;
  int signal;
  int times;  // sent back to back
};

// Named in the test list by its name rather than its bytes.
void PrintTo(const StopCase& stop, std::ostream* out) { *out << stop.name; }

class StopSignalTest : public TableE2ETest, public ::testing::WithParamInterface<StopCase> {
 protected:
  // The server's process: the one whose command line starts with the instance's link.
  pid_t serverPid() const {
    const std::string program = instance_->directory() + "dovrel";
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
      std::string first;
      std::getline(cmdline, first, '\0');
      if (first == program) return static_cast<pid_t>(std::stoi(name));
    }
    return -1;
  }
};

TEST_P(StopSignalTest, SignalDuringAddsHaltsAndKeepsEveryAcknowledgedAdd) {
  const StopCase& stop = GetParam();
  startWithBooks();
  const pid_t pid = serverPid();
  ASSERT_GT(pid, 0);

  std::vector<std::string> acknowledged;  // titles, in document-number order (adder only)
  std::atomic<std::size_t> count{0};
  std::thread adder([&] {
    for (int i = 0;; ++i) {  // until the server has gone
      const std::string title = "t" + std::to_string(i);
      try {
        const std::string answer = ask("i", "add " + book(title) + " to table books;");
        if (answer != "OK\r\ndocument " + std::to_string(acknowledged.size()) + "\r\n") return;
        acknowledged.push_back(title);
        count.store(acknowledged.size());
      } catch (const client::ClientError&) {
        return;  // the server has gone
      }
    }
  });
  // Some adds first, then the signal while they go on.
  while (count.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  for (int i = 0; i < stop.times; ++i) ::kill(pid, stop.signal);
  EXPECT_EQ(instance_->waitForExit(20000), 0);
  adder.join();
  EXPECT_NE(instance_->console().find("работа завершена, сохраняемся\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(instance_->directory() + "LOGS/current.log"));

  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(instance_->console().find("Найден лог запросов"), std::string::npos)
      << "the next start replayed a journal";
  // The add running when the signal came may have been saved without its answer.
  const std::string length = ask("s", "get table books length;");
  const std::string n = std::to_string(acknowledged.size());
  const std::string more = std::to_string(acknowledged.size() + 1);
  EXPECT_TRUE(length == "OK\r\n" + n + "\r\n" + n + "\r\n" ||
              length == "OK\r\n" + more + "\r\n" + more + "\r\n")
      << length << " after " << n << " acknowledged adds";
  for (std::size_t i = 0; i < acknowledged.size(); ++i) {
    EXPECT_EQ(ask("s", "get document " + std::to_string(i) + " from table books;"),
              "OK\r\n" + bookText(acknowledged[i]))
        << "document " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest,
                         ::testing::Values(StopCase{"Term", SIGTERM, 1},
                                           StopCase{"InterruptTwice", SIGINT, 2}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace dovrel::e2e
