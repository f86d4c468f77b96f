// A process death at every file call of a commit, and of a halt, with the query journal and
// the tables together: the parser and the journal run in a child process over a
// fault-injecting Env that "dies" at the n-th call of one kind (that call and every later
// one change nothing on disk); the child then ends without cleaning up, as a killed server
// does. A restart in the test process must find exactly the acknowledged work, no document
// twice and none lost, and a second restart the same. This covers the whole span between
// the journal's record of the commit and its marker, which random kills hit only rarely.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dovrel/ParserExecutor.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "platform/FaultInjectionEnv.h"
#include "query/Parser.h"
#include "reliability/InProcessInstance.h"
#include "security/StoreTestSupport.h"
#include "server/Logger.h"

namespace dovrel::reliability {
namespace {

using platform::FaultInjectionEnv;
using platform::FaultKind;

// Whether every commit of a test happens within one second: the clock stands still, so
// every commit after the first finds its archive name taken and keeps current.log, and the
// prepared instance's journal is such a kept one. Otherwise every archive gets a second of
// its own, in every process of the test.
bool sameSecond = false;

class SteppingClock final : public server::ArchiveClock {
 public:
  explicit SteppingClock(std::string logDir) : logDir_(std::move(logDir)) {}
  platform::CalendarTime localTime() override {
    int second = 1 + slept_;
    if (!sameSecond) {
      // One second past the archives there are, so this name is free.
      for (const auto& entry : std::filesystem::directory_iterator(logDir_)) {
        if (entry.path().filename() != "current.log") ++second;
      }
    }
    return {2026, 12, 8, 10, second / 60, second % 60, 0};
  }
  void sleepMs(uint32_t) override { ++slept_; }

 private:
  const std::string logDir_;
  int slept_ = 0;
};

// A server's query path: the parser, then the journal with its replay, as at a start.
struct Instance {
  explicit Instance(const test::InstanceDir& dir)
      : clock(dir.path() + "LOGS/"),
        executor(std::make_shared<server::ParserExecutor>(
            std::make_unique<query::Parser>(query::ParserFiles::inBaseDirectory(dir.path())))),
        journal(std::make_unique<server::Logger>(dir.path() + "LOGS/", *executor, &clock)) {}
  // As in the server: the parser goes first, so its commit at the end reaches the journal.
  ~Instance() { executor.reset(); }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  // One query as a connection runs it: journalled (unless the parser refuses everything),
  // executed, and after a commit rotated. A journal that cannot write puts the parser into
  // its error state; the query whose record failed does not run.
  std::string ask(const std::string& command) {
    const std::string query = ADMIN_LOGIN + command;
    TextBuffer answer;
    bool committed = false;
    try {
      if (!executor->refusesEveryQuery()) journal->append(TextView(query));
      committed = executor->execute(TextView(query), answer) == server::RESULT_COMMITTED;
      if (committed) journal->rotate();
      return answer.toString();
    } catch (const TextError& error) {
      return "ERROR\r\n" + error.text();
    } catch (const DiskOrMemoryError& error) {
      executor->enterErrorState();
      return committed ? answer.toString() : "ERROR\r\n" + error.message();
    }
  }
  // The halt: the tables saved, then the journal closed for good; a failed save ends the
  // process all the same, with the journal left, and so does the error state.
  void halt() {
    try {
      const bool saving = !executor->refusesEveryQuery();
      executor->shutdown();
      if (saving) journal->shutdown();
    } catch (const DiskOrMemoryError&) {
    }
  }

  SteppingClock clock;
  std::shared_ptr<server::ParserExecutor> executor;
  std::unique_ptr<server::Logger> journal;
};

std::string add(const std::string& title, const std::string& table = "t") {
  return "add document { field title = '" + title + "'; } to table " + table + ";";
}

std::string createTable(const std::string& table) {
  return "create table " + table +
         " alias 'T' { field title alias 'T' : text { index w 'words size=16'; }; };";
}

// What a client sees of the table: its counts and every document number it has handed out.
std::string probe(Instance& instance, const std::string& table = "t") {
  std::string seen = instance.ask("get table " + table + " length;");
  for (int number = 0; number < 6; ++number) {
    seen += instance.ask("get document " + std::to_string(number) + " from table " + table + ";");
  }
  return seen;
}

// Runs `body` in a child process that then ends like a killed server: no destructor runs
// (so no parser saves the tables on its way out), with exit status 10 when `body` returns
// true, 11 when it returns false, 12 when it throws, and 3 on a fatal assertion. Returns
// that status.
int inChild(const std::function<bool()>& body) {
  std::cout.flush();
  const pid_t child = ::fork();
  if (child == 0) {
    test::ConsoleCapture quiet;
    // An assertion prints straight to the standard output; the status says enough.
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) ::dup2(devNull, STDOUT_FILENO);
    try {
      ::_exit(body() ? 10 : 11);
    } catch (...) {
      ::_exit(12);
    }
  }
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CommitCrashSweepTest : public ::testing::Test {
 protected:
  // A new instance with `table`, one committed document ("one") and two acknowledged,
  // uncommitted ones ("two", "three"), left by a server that was killed. With `sameSecond`
  // "two" and "three" are committed too, in a journal kept because the archive name was
  // taken, and "four" follows them there, acknowledged and uncommitted.
  static void prepare(const test::InstanceDir& dir, const std::string& table = "t") {
    std::filesystem::create_directory(dir.file("LOGS"));
    test::writeFile(dir.file("security.txt"), adminOnlySecurity());
    std::vector<std::string> commands{createTable(table), add("one", table), "commit;",
                                      add("two", table), add("three", table)};
    if (sameSecond) commands.insert(commands.end(), {"commit;", add("four", table)});
    const int status = inChild([&] {
      Instance* instance = new Instance(dir);  // never destroyed: the kill
      for (const std::string& command : commands) {
        if (instance->ask(command).rfind("OK\r\n", 0) != 0) return false;
      }
      return true;
    });
    ASSERT_EQ(status, 10);
  }

  // Runs `finish` against a prepared instance in a child whose Env dies at the n-th call of
  // `kind`, counted from the end of the start on (from its beginning with `duringStart`);
  // the child ends as a killed server. Returns whether the death came.
  static bool crashChild(const test::InstanceDir& dir, FaultKind kind, uint64_t nth,
                         const std::function<void(Instance&)>& finish, bool duringStart = false) {
    const int status = inChild([&] {
      auto* env = new FaultInjectionEnv;
      platform::Env::setCurrent(env);
      if (duringStart) env->crashAt(kind, nth);
      Instance* instance = new Instance(dir);
      if (!duringStart) {
        env->resetCounts();
        env->crashAt(kind, nth);
      }
      finish(*instance);
      return env->crashed();
    });
    // 3: a fatal assertion, which only a call failed by the death can cause here (the
    // tables' own); 12: the start refused on a failed call, as a server stops when its
    // start fails.
    EXPECT_TRUE(status == 10 || status == 11 || status == 3 || (status == 12 && duringStart))
        << "exit status " << status;
    return status != 11;
  }

  // Sweeps every call of the kinds that change files through `finish`, run on an instance
  // prepared with table `prepared`; after each death the restarted instance must show
  // `expected` of table `probed`, twice, or, when `finish` runs several queries, what a
  // healthy run of only the first of them shows (`earlier`: a death before a query's
  // journal record was written means that query never happened).
  void sweep(const std::function<void(Instance&)>& finish, const std::string& expected,
             const std::string& prepared = "t", const std::string& probed = "t",
             const std::vector<std::string>& earlier = {}) {
    for (FaultKind kind : {FaultKind::WRITE, FaultKind::FLUSH, FaultKind::SYNC,
                           FaultKind::SYNC_DIRECTORY, FaultKind::DELETE, FaultKind::RENAME,
                           FaultKind::OPEN, FaultKind::CLOSE, FaultKind::TRUNCATE}) {
      for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(kindName(kind) + " #" + std::to_string(nth));
        test::InstanceDir dir;
        prepare(dir, prepared);
        if (!crashChild(dir, kind, nth, finish)) break;
        ++deaths_[kindName(kind)];
        expectAfterRestarts(dir, expected, probed, earlier);
        if (HasFatalFailure()) return;
        ASSERT_LT(nth, 2000u);
      }
    }
    for (const auto& [kind, count] : deaths_) total_ += count;
  }

  // Restarts `dir` twice; each must show `expected` (or the first start one of `earlier`,
  // and the second start the same).
  static void expectAfterRestarts(const test::InstanceDir& dir, std::string expected,
                                  const std::string& probed = "t",
                                  const std::vector<std::string>& earlier = {}) {
    for (int start = 0; start < 2; ++start) {
      test::ConsoleCapture quiet;
      std::unique_ptr<Instance> restarted;
      try {
        restarted = std::make_unique<Instance>(dir);
      } catch (const DiskOrMemoryError& error) {
        FAIL() << "start " << start << " failed: " << cp866ToUtf8(error.message());
      }
      const std::string seen = probe(*restarted, probed);
      if (start == 0 && std::find(earlier.begin(), earlier.end(), seen) != earlier.end()) {
        expected = seen;
      }
      ASSERT_EQ(cp866ToUtf8(seen), cp866ToUtf8(expected)) << "start " << start;
    }
  }

  // What a restart shows after `finish` ran to its end without a death.
  // `keepsWork`: the prepared documents must still be there afterwards.
  static std::string healthy(const std::function<void(Instance&)>& finish,
                             const std::string& prepared = "t", const std::string& probed = "t",
                             bool keepsWork = true) {
    test::InstanceDir dir;
    prepare(dir, prepared);
    test::ConsoleCapture quiet;
    {
      Instance instance(dir);
      finish(instance);
    }
    Instance restarted(dir);
    const std::string seen = probe(restarted, probed);
    if (keepsWork) {
      EXPECT_NE(seen.find("three"), std::string::npos) << cp866ToUtf8(seen);
    }
    return seen;
  }

  void report(const std::string& what) {
    std::cout << what << ": " << total_ << " deaths (";
    const char* separator = "";
    for (const auto& [kind, count] : deaths_) {
      std::cout << separator << kind << " " << count;
      separator = ", ";
    }
    std::cout << ")" << std::endl;
  }

  std::map<std::string, int> deaths_;
  int total_ = 0;
};

TEST_F(CommitCrashSweepTest, ADeathAnywhereInACommitNeitherLosesNorRepeatsWork) {
  const auto commit = [](Instance& instance) { instance.ask("commit;"); };
  // The two acknowledged adds are there once each, committed or replayed: documents 0-2,
  // and number 3 was never handed out.
  const std::string expected = healthy(commit);
  sweep(commit, expected);
  report("commit");
  EXPECT_GT(total_, 20);
}

// Commits within one second: the prepared journal was kept after its commit (the archive
// name was taken), the start replays it from that marker, and the commit keeps it again.
TEST_F(CommitCrashSweepTest, ADeathAnywhereInACommitThatKeepsTheJournalChangesNothing) {
  struct OneSecond {
    OneSecond() { sameSecond = true; }
    ~OneSecond() { sameSecond = false; }
  } oneSecond;
  const auto commit = [](Instance& instance) { instance.ask("commit;"); };
  const std::string expected = healthy(commit);
  EXPECT_NE(expected.find("four"), std::string::npos) << cp866ToUtf8(expected);
  sweep(commit, expected);
  report("commit in a kept journal");
  EXPECT_GT(total_, 20);
}

TEST_F(CommitCrashSweepTest, ADeathAnywhereInAHaltNeitherLosesNorRepeatsWork) {
  const auto halt = [](Instance& instance) { instance.halt(); };
  const std::string expected = healthy(halt);
  sweep(halt, expected);
  report("halt");
  EXPECT_GT(total_, 20);
}

// A commit cut short in the tables' first phase is undone at the next start, and the
// journal settles its intent; a second death anywhere in that start (before or after the
// journal's settling, before or after the tables' marker goes, or in the replay) must
// still leave the same work once, not lose the replayed span.
TEST_F(CommitCrashSweepTest, ADeathInTheStartAfterADeathInACommitChangesNothing) {
  const auto commit = [](Instance& instance) { instance.ask("commit;"); };
  const auto nothing = [](Instance&) {};
  const std::string expected = healthy(commit);
  int firstDeaths = 0;
  for (uint64_t first = 1;; ++first) {
    test::InstanceDir base;
    prepare(base);
    if (!crashChild(base, FaultKind::SYNC, first, commit)) break;
    ++firstDeaths;
    for (FaultKind kind : {FaultKind::FLUSH, FaultKind::DELETE, FaultKind::SYNC_DIRECTORY}) {
      for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE("sync #" + std::to_string(first) + ", then in the start " + kindName(kind) +
                     " #" + std::to_string(nth));
        test::InstanceDir dir;
        std::filesystem::copy(base.path(), dir.path(),
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        if (!crashChild(dir, kind, nth, nothing, true)) break;
        ++deaths_[kindName(kind)];
        expectAfterRestarts(dir, expected);
        if (HasFatalFailure()) return;
        ASSERT_LT(nth, 2000u);
      }
    }
  }
  for (const auto& [kind, count] : deaths_) total_ += count;
  std::cout << "after " << firstDeaths << " deaths in a commit's syncs, ";
  report("deaths in the start");
  EXPECT_GT(firstDeaths, 3);
}

// Tables named like the marker files: "in_create" and "in_commit" have files whose names
// begin like the markers' ("in_create." + "txt"). A death anywhere in their create (with an
// add and a commit after it), drop or commit must leave a start that succeeds, twice, with
// the healthy run's documents. Regression: after a death in the drop or create of
// "in_create" the start deleted the marker with the table's files and then stopped on
// "Ошибка удаления файла in_create.txt".
TEST_F(CommitCrashSweepTest, TablesNamedLikeTheMarkersSurviveADeathInCreateDropAndCommit) {
  for (const std::string name : {"in_create", "in_commit"}) {
    struct Row {
      const char* what;
      std::vector<std::string> commands;
      std::string prepared;
    };
    const std::vector<Row> rows = {
        {"create", {createTable(name), add("first", name), "commit;"}, "t"},
        {"drop", {"drop table " + name + ";"}, name},
        {"commit", {"commit;"}, name},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + " of table " + name);
      const auto firstOf = [&](std::size_t count) {
        return [&row, count](Instance& instance) {
          for (std::size_t i = 0; i < count; ++i) instance.ask(row.commands[i]);
        };
      };
      std::vector<std::string> earlier;
      for (std::size_t count = 0; count < row.commands.size(); ++count) {
        earlier.push_back(healthy(firstOf(count), row.prepared, name, false));
      }
      deaths_.clear();
      total_ = 0;
      const std::string expected = healthy(firstOf(row.commands.size()), row.prepared, name, false);
      sweep(firstOf(row.commands.size()), expected, row.prepared, name, earlier);
      if (HasFatalFailure()) return;
      report(std::string(row.what) + " of table " + name);
      EXPECT_GT(total_, 10);
    }
  }
}

}  // namespace
}  // namespace dovrel::reliability
