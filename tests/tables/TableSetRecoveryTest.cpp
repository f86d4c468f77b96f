// Start-up recovery of the catalogue: a data directory left as a crash would leave it at
// each step of a table creation, drop or commit, and what the next start makes of it.
#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/Cp866.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

class TableSetRecoveryTest : public ::testing::Test {
 protected:
  void TearDown() override { set_.reset(); }

  void load(const std::string& directory) {
    set_.reset();
    set_ = std::make_unique<TableSet>(directory);
    set_->load();
  }
  // Table "other" with one committed document, and the complete files of table "t" in a
  // separate directory, to copy from.
  void prepareFiles() {
    load(dir_.path());
    enterStateZero(*createTable(*set_, simpleStructure("other"), bob_), *bob_);
    set_->commitAll();
    load(source_.path());
    createTable(*set_, simpleStructure("t"), bob_);
    set_.reset();
  }
  void copyFromSource(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      std::filesystem::copy_file(source_.file(name), dir_.file(name));
    }
  }
  std::vector<std::string> filesOf(std::string_view table) const {
    std::vector<std::string> out;
    for (const std::string& file : dir_.files()) {
      if (file.rfind(std::string(table) + ".", 0) == 0) out.push_back(file);
    }
    return out;
  }
  // The start leaves "other" whole and nothing of "t".
  void expectOnlyOtherAfterLoad() {
    load(dir_.path());
    EXPECT_FALSE(set_->hasTable("t"));
    EXPECT_EQ(filesOf("t"), std::vector<std::string>{});
    EXPECT_FALSE(dir_.exists("in_create.txt"));
    EXPECT_EQ(stateOf(*set_->getTable("other")), 0);
  }

  DataDir dir_;
  DataDir source_;
  std::shared_ptr<User> bob_ = makeUser("bob");
  std::unique_ptr<TableSet> set_;
};

// Invariant 2: while the marker names a table, all of its files may go.
TEST_F(TableSetRecoveryTest, AnInterruptedCreationIsRemovedAtEveryStep) {
  prepareFiles();
  // The files in the order creation writes them.
  const std::vector<std::string> order = {"t.structure", "t.table", "t.meta", "t.f.i.index"};
  for (std::size_t written = 0; written <= order.size(); ++written) {
    SCOPED_TRACE(written);
    writeFile(dir_.file("in_create.txt"), "t");
    copyFromSource(std::vector<std::string>(order.begin(), order.begin() + written));
    expectOnlyOtherAfterLoad();
  }
}

TEST_F(TableSetRecoveryTest, AnInterruptedDropIsCompletedAtEveryStep) {
  prepareFiles();
  // The files in the order the drop deletes them (the listing's order).
  const std::vector<std::string> order = {"t.f.i.index", "t.meta", "t.structure", "t.table"};
  for (std::size_t deleted = 0; deleted <= order.size(); ++deleted) {
    SCOPED_TRACE(deleted);
    copyFromSource(std::vector<std::string>(order.begin() + deleted, order.end()));
    writeFile(dir_.file("in_create.txt"), "t");
    expectOnlyOtherAfterLoad();
  }
}

// Invariant 4: a marker that names nothing guards nothing.
TEST_F(TableSetRecoveryTest, AMarkerWithoutANameIsSimplyDeleted) {
  prepareFiles();
  copyFromSource({"t.structure", "t.table", "t.meta", "t.f.i.index"});
  writeFile(dir_.file(".hidden"), "x");
  const std::vector<std::string> before = dir_.files();
  for (std::string_view content :
       {std::string_view(""), std::string_view(" \r\n"), std::string_view("\0\0\0", 3)}) {
    writeFile(dir_.file("in_create.txt"), content);
    load(dir_.path());
    EXPECT_FALSE(dir_.exists("in_create.txt"));
    EXPECT_EQ(dir_.files(), before);
    EXPECT_EQ(stateOf(*set_->getTable("t")), -1);  // loaded, no documents
    EXPECT_EQ(set_->getTable("t")->getNumberCount(), 0u);
  }
}

TEST_F(TableSetRecoveryTest, AMarkerThatIsNotATableNameDeletesNothing) {
  prepareFiles();
  std::vector<std::string> before = dir_.files();
  before.insert(before.begin(), "in_create.txt");  // kept for the operator
  for (std::string_view content : {"../other", "oth*", "Other", "9lives", "a?b"}) {
    SCOPED_TRACE(content);
    writeFile(dir_.file("in_create.txt"), content);
    EXPECT_EQ(diskError([&] { load(dir_.path()); }), "Ошибка чтения in_create.txt"_cp866);
    EXPECT_EQ(dir_.files(), before);
  }
}

class CommitRecoveryTest : public TableSetRecoveryTest {
 protected:
  // Tables a and b committed in state 0, then both changed to state 1 in memory.
  void SetUp() override {
    load(dir_.path());
    for (std::string_view name : {"a", "b"}) {
      enterStateZero(*createTable(*set_, simpleStructure(name), bob_), *bob_);
    }
    set_->commitAll();
    for (std::string_view name : {"a", "b"}) enterStateOne(*set_->getTable(name), *bob_);
  }
  void prepare(std::string_view name) { set_->getTable(name)->commitPrepare(); }
  void finish(std::string_view name) { set_->getTable(name)->commitFinish(); }
  void expectStates(int expected) {
    EXPECT_EQ(stateOf(*set_->getTable("a")), expected);
    EXPECT_EQ(stateOf(*set_->getTable("b")), expected);
  }
};

// Invariant 3: with the marker on disk, the listed tables return whole to the previous
// commit, whichever of them finished their first phase.
TEST_F(CommitRecoveryTest, AFirstPhaseCutShortReopensInOpenAfterCommit) {
  writeFile(dir_.file("in_commit.txt"), "a\r\nb\r\n");
  prepare("a");
  set_.reset();  // the crash: b never prepared, nobody finished
  // Opened normally, a would roll its prepared commit forward while b stays behind.
  DataDir copy;
  for (const std::string& file : dir_.files()) {
    if (file != "in_commit.txt") std::filesystem::copy_file(dir_.file(file), copy.file(file));
  }

  load(dir_.path());
  // The marker is kept until settled, so a second crash before that undoes the commit
  // again instead of taking it for complete.
  EXPECT_TRUE(set_->commitInterrupted());
  EXPECT_TRUE(dir_.exists("in_commit.txt"));
  set_->settleInterruptedCommit();
  EXPECT_FALSE(set_->commitInterrupted());
  EXPECT_FALSE(dir_.exists("in_commit.txt"));
  // The recovery opened exactly the listed tables.
  EXPECT_TRUE(set_->getTable("a")->filesOpen());
  EXPECT_TRUE(set_->getTable("b")->filesOpen());
  expectStates(0);
  set_.reset();

  load(copy.path());
  EXPECT_EQ(stateOf(*set_->getTable("a")), 1);
  EXPECT_EQ(stateOf(*set_->getTable("b")), 0);
}

TEST_F(CommitRecoveryTest, AFirstPhaseCompleteButStillMarkedReturnsToThePreviousCommit) {
  writeFile(dir_.file("in_commit.txt"), "a\r\nb\r\n");
  prepare("a");
  prepare("b");
  set_.reset();
  load(dir_.path());
  expectStates(0);
  // A second crash before the marker is settled: the same previous commit again.
  set_.reset();
  load(dir_.path());
  EXPECT_TRUE(set_->commitInterrupted());
  expectStates(0);
}

TEST_F(CommitRecoveryTest, TheNextCommitSettlesAKeptMarkerFirst) {
  writeFile(dir_.file("in_commit.txt"), "a\r\nb\r\n");
  prepare("a");
  set_.reset();
  load(dir_.path());
  for (std::string_view name : {"a", "b"}) enterStateOne(*set_->getTable(name), *bob_);
  set_->commitAll();
  EXPECT_FALSE(set_->commitInterrupted());
  EXPECT_FALSE(dir_.exists("in_commit.txt"));
  set_.reset();
  load(dir_.path());
  EXPECT_FALSE(set_->commitInterrupted());
  expectStates(1);
}

TEST_F(CommitRecoveryTest, ASecondPhaseCutShortIsCompletedByAnOrdinaryOpen) {
  prepare("a");
  prepare("b");
  finish("a");
  set_.reset();  // marker gone, b never finished
  load(dir_.path());
  EXPECT_FALSE(set_->getTable("b")->filesOpen());
  expectStates(1);
}

TEST_F(CommitRecoveryTest, AMarkerListingOnlySomeTablesOpensOnlyThose) {
  set_.reset();  // state 1 was never committed
  writeFile(dir_.file("in_commit.txt"), "b\r\n");
  load(dir_.path());
  EXPECT_FALSE(set_->getTable("a")->filesOpen());
  EXPECT_TRUE(set_->getTable("b")->filesOpen());
  expectStates(0);
}

}  // namespace
}  // namespace dovrel::tables_test
