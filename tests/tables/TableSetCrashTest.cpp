// Crashes during table creation, drop and commit: the process dies at the n-th sync,
// directory sync or deletion, what was not synced is lost, and the next start must find
// every table whole — at its previous or its new state, all tables alike — or gone
// without a trace.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FaultInjectionEnv.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

using platform::FaultKind;

class TableSetCrashTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_.reset();
    platform::Env::setCurrent(nullptr);
  }

  void load() {
    set_.reset();
    set_ = std::make_unique<TableSet>(dir_->path());
    set_->load();
  }
  // Runs `action` with a crash armed at the n-th call of `kind`; true when it completed
  // before the crash. Then the process "dies": every object goes, unsynced data is lost,
  // and the catalogue starts again.
  template <class Action>
  bool crashDuring(FaultKind kind, uint64_t n, Action&& action) {
    fault_->resetCounts();
    fault_->crashAt(kind, n);
    bool completed = true;
    try {
      action();
    } catch (const DiskOrMemoryError&) {
      completed = false;
    }
    EXPECT_EQ(completed, !fault_->crashed());
    set_.reset();
    fault_->clearFaults();
    EXPECT_TRUE(fault_->dropUnsyncedData().isOk());
    load();
    return completed;
  }
  bool hasFilesOf(std::string_view table) const {
    for (const std::string& file : dir_->files()) {
      if (file.rfind(std::string(table) + ".", 0) == 0) return true;
    }
    return false;
  }
  // A new data directory holding a copy of the committed tables that `build` makes (once,
  // through the real environment), loaded behind a new fault-injecting environment, which
  // keeps the contents of no earlier directory.
  template <class Build>
  void freshDirectory(Build&& build) {
    set_.reset();
    platform::Env::setCurrent(nullptr);
    if (template_ == nullptr) {
      template_ = std::make_unique<DataDir>();
      TableSet set(template_->path());
      set.load();
      build(set);
      set.commitAll();
    }
    dir_ = std::make_unique<DataDir>();
    for (const std::string& file : template_->files()) {
      std::filesystem::copy_file(template_->file(file), dir_->file(file));
    }
    fault_ = std::make_unique<platform::FaultInjectionEnv>();
    platform::Env::setCurrent(fault_.get());
    load();
  }
  // Tables a and b, each in state 0.
  void buildTwoTables(TableSet& set) {
    for (std::string_view name : {"a", "b"}) {
      enterStateZero(*createTable(set, simpleStructure(name), bob_), *bob_);
    }
  }

  std::unique_ptr<platform::FaultInjectionEnv> fault_;
  std::unique_ptr<DataDir> template_;
  std::unique_ptr<DataDir> dir_;
  std::shared_ptr<User> bob_ = makeUser("bob");
  std::unique_ptr<TableSet> set_;
};

constexpr FaultKind CRASH_KINDS[] = {FaultKind::SYNC, FaultKind::SYNC_DIRECTORY, FaultKind::DELETE};

TEST_F(TableSetCrashTest, ACommitCrashLeavesAllTablesAtTheOldOrAllAtTheNewState) {
  for (FaultKind kind : CRASH_KINDS) {
    bool sawOld = false;
    bool sawNew = false;
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " call " << n);
      freshDirectory([&](TableSet& set) { buildTwoTables(set); });
      for (std::string_view name : {"a", "b"}) enterStateOne(*set_->getTable(name), *bob_);

      const bool completed = crashDuring(kind, n, [&] { set_->commitAll(); });
      // The marker outlives the start exactly when the commit was undone.
      const bool undone = set_->commitInterrupted();
      EXPECT_EQ(undone, dir_->exists("in_commit.txt"));
      set_->settleInterruptedCommit();
      EXPECT_FALSE(dir_->exists("in_commit.txt"));
      const int a = stateOf(*set_->getTable("a"));
      const int b = stateOf(*set_->getTable("b"));
      EXPECT_EQ(a, b);
      EXPECT_TRUE(a == 0 || a == 1) << a;
      if (undone) {
        EXPECT_EQ(a, 0);
      }
      // Once a crash point leaves the new state, every later one does.
      if (sawNew) {
        EXPECT_EQ(a, 1);
      }
      sawOld |= a == 0;
      sawNew |= a == 1;
      if (completed) {
        EXPECT_EQ(a, 1);
        break;
      }
      ASSERT_LT(n, 200u);
    }
    EXPECT_TRUE(sawOld);
  }
}

// Also for the tables named like the markers, whose files begin like "in_create.txt" and
// "in_commit.txt" (invariant 6): the start must not take the marker for one of them.
constexpr std::string_view DROPPED_NAMES[] = {"a", "in_create", "in_commit"};

TEST_F(TableSetCrashTest, ADropCrashLeavesTheTableWholeOrGone) {
  for (std::string_view name : DROPPED_NAMES) {
    template_.reset();
    for (FaultKind kind : CRASH_KINDS) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(testing::Message()
                     << name << " kind " << static_cast<int>(kind) << " call " << n);
        freshDirectory([&](TableSet& set) {
          for (std::string_view table : {name, std::string_view("b")}) {
            enterStateZero(*createTable(set, simpleStructure(table), bob_), *bob_);
          }
        });
        enterStateOne(*set_->getTable(name), *bob_);  // never committed

        const bool completed = crashDuring(kind, n, [&] { set_->dropTable(name); });
        EXPECT_FALSE(dir_->exists("in_create.txt"));
        EXPECT_EQ(stateOf(*set_->getTable("b")), 0);
        if (set_->hasTable(name)) {
          EXPECT_FALSE(completed);
          EXPECT_EQ(stateOf(*set_->getTable(name)), 0);
        } else {
          EXPECT_FALSE(hasFilesOf(name));
        }
        if (completed) {
          EXPECT_FALSE(set_->hasTable(name));
          break;
        }
        ASSERT_LT(n, 200u);
      }
    }
  }
}

TEST_F(TableSetCrashTest, ACreationCrashLeavesTheTableCompleteOrGone) {
  for (std::string_view name : DROPPED_NAMES) {
    for (FaultKind kind : CRASH_KINDS) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(testing::Message()
                     << name << " kind " << static_cast<int>(kind) << " call " << n);
        freshDirectory([&](TableSet& set) {
          enterStateZero(*createTable(set, simpleStructure("b"), bob_), *bob_);
        });

        const bool completed =
            crashDuring(kind, n, [&] { createTable(*set_, simpleStructure(name), bob_); });
        EXPECT_FALSE(dir_->exists("in_create.txt"));
        EXPECT_EQ(stateOf(*set_->getTable("b")), 0);
        if (set_->hasTable(name)) {
          std::shared_ptr<Table> a = set_->getTable(name);
          a->openFiles(OpenMode::openNormal);
          EXPECT_EQ(a->getNumberCount(), 0u);
          enterStateZero(*a, *bob_);
          EXPECT_EQ(stateOf(*a), 0);
        } else {
          EXPECT_FALSE(completed);
          EXPECT_FALSE(hasFilesOf(name));
        }
        if (completed) break;
        ASSERT_LT(n, 200u);
      }
    }
  }
}

}  // namespace
}  // namespace dovrel::tables_test
