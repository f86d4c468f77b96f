// The table catalogue: loading, finding, dropping, committing and listing tables, and the
// refusals of the start-up.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "foundation/Cp866.h"
#include "platform/FaultInjectionEnv.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

class TableSetTest : public ::testing::Test {
 protected:
  void SetUp() override { reload(); }
  void TearDown() override {
    set_.reset();
    platform::Env::setCurrent(nullptr);
  }

  // A new catalogue over the same directory, as at the next start.
  void reload() {
    set_.reset();
    set_ = std::make_unique<TableSet>(dir_.path());
    set_->load();
  }
  std::shared_ptr<Table> create(std::string_view name) {
    return createTable(*set_,
                       cat("table ", name, " alias '", name) +
                           "' { field f alias '' : text { index i 'whole size=16'; }; };",
                       bob_);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : set_->tables()) out.push_back(entry.first);
    return out;
  }

  // Runs the catalogue through the fault-injecting environment from now on.
  void injectFaults() {
    platform::Env::setCurrent(&env_);
    reload();
  }

  DataDir dir_;
  platform::FaultInjectionEnv env_;
  std::shared_ptr<User> bob_ = makeUser("bob");
  std::unique_ptr<TableSet> set_;
};

TEST_F(TableSetTest, AnEmptyDirectoryGivesAnEmptyCatalogue) {
  EXPECT_TRUE(set_->tables().empty());
  EXPECT_EQ(semanticError([&] { set_->getTable("t"); }),
            cat("таблица "_cp866, "t", " не найдена"_cp866));
  EXPECT_FALSE(set_->hasTable("t"));
}

TEST_F(TableSetTest, CreatedTablesLoadAtTheNextStartWithClosedFiles) {
  const std::string structure = structureText(*create("beta"));
  create("alpha");
  storeDocument(*set_->getTable("beta"), "field f = 'x';", *bob_);
  set_->commitAll();
  reload();
  EXPECT_EQ(names(), (std::vector<std::string>{"alpha", "beta"}));
  std::shared_ptr<Table> beta = set_->getTable("beta");
  EXPECT_FALSE(beta->filesOpen());
  EXPECT_EQ(structureText(*beta), structure);
  beta->openFiles(OpenMode::openNormal);
  EXPECT_EQ(beta->getNumberCount(), 1u);
}

TEST_F(TableSetTest, DropRemovesEveryFileOfTheTableAndNoOther) {
  create("tab");
  create("tabx");
  create("tab_2");
  storeDocument(*set_->getTable("tab"), "field f = 'uncommitted';", *bob_);
  set_->dropTable("tab");
  for (const std::string& file : dir_.files()) EXPECT_NE(file.rfind("tab.", 0), 0u) << file;
  EXPECT_TRUE(dir_.exists("tabx.structure"));
  EXPECT_TRUE(dir_.exists("tabx.f.i.index"));
  EXPECT_TRUE(dir_.exists("tab_2.table"));
  EXPECT_FALSE(dir_.exists("in_create.txt"));
  EXPECT_EQ(names(), (std::vector<std::string>{"tab_2", "tabx"}));
  EXPECT_EQ(semanticError([&] { set_->dropTable("tab"); }),
            cat("таблица "_cp866, "tab", " не найдена"_cp866));
  reload();
  EXPECT_EQ(names(), (std::vector<std::string>{"tab_2", "tabx"}));
  // The name is free again.
  create("tab");
}

TEST_F(TableSetTest, CommitListsExactlyTheTablesWithOpenFiles) {
  injectFaults();
  create("a");
  create("b");
  create("c");
  reload();  // every table closed
  // Keep the marker to see it: its deletion fails.
  env_.failAt(platform::FaultKind::DELETE, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка удаления in_commit.txt"_cp866);
  EXPECT_EQ(readFile(dir_.file("in_commit.txt")), "");

  set_->getTable("c")->openFiles(OpenMode::openNormal);
  storeDocument(*set_->getTable("a"), "field f = 'x';", *bob_);
  env_.failAt(platform::FaultKind::DELETE, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка удаления in_commit.txt"_cp866);
  EXPECT_EQ(readFile(dir_.file("in_commit.txt")), "a\r\nc\r\n");
}

// Records what the data directory held when a commit told it that it was under way.
class MarkerWitness final : public CommitListener {
 public:
  MarkerWitness(const DataDir& dir, platform::FaultInjectionEnv& env) : dir_(dir), env_(env) {}
  void commitStarting() override {
    ++told;
    marker = dir_.exists("in_commit.txt") ? readFile(dir_.file("in_commit.txt")) : "(none)";
    syncsBefore = env_.count(platform::FaultKind::SYNC);
  }

  int told = 0;
  std::string marker;
  uint64_t syncsBefore = 0;

 private:
  const DataDir& dir_;
  platform::FaultInjectionEnv& env_;
};

// The journal relies on this order: the listener is told while the marker is on disk and
// before any table's first phase has synced anything.
TEST_F(TableSetTest, TheCommitListenerIsToldBetweenTheMarkerAndTheFirstPhase) {
  injectFaults();
  create("a");
  storeDocument(*set_->getTable("a"), "field f = 'x';", *bob_);
  auto witness = std::make_shared<MarkerWitness>(dir_, env_);
  set_->setCommitListener(witness);
  env_.resetCounts();
  set_->commitAll();
  EXPECT_EQ(witness->told, 1);
  EXPECT_EQ(witness->marker, "a\r\n");
  EXPECT_EQ(witness->syncsBefore, 1u);  // the marker's own
  EXPECT_GT(env_.count(platform::FaultKind::SYNC), 1u);

  // A marker that cannot be written tells nobody: no commit is under way.
  env_.failAt(platform::FaultKind::SYNC, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка записи в in_commit.txt"_cp866);
  EXPECT_EQ(witness->told, 1);

  // A listener that is gone is not told.
  witness.reset();
  set_->commitAll();
}

TEST_F(TableSetTest, MarkersAreSyncedWithTheirDirectory) {
  injectFaults();
  env_.resetCounts();
  set_->commitAll();
  // Written: the file and the directory; deleted: the directory.
  EXPECT_EQ(env_.count(platform::FaultKind::SYNC), 1u);
  EXPECT_EQ(env_.count(platform::FaultKind::SYNC_DIRECTORY), 2u);
  EXPECT_FALSE(dir_.exists("in_commit.txt"));

  env_.failAt(platform::FaultKind::SYNC, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка записи в in_commit.txt"_cp866);
  env_.failAt(platform::FaultKind::OPEN, 1, EACCES);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка открытия на запись in_commit.txt"_cp866);
  env_.failAt(platform::FaultKind::CLOSE, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->commitAll(); }), "Ошибка закрытия in_commit.txt"_cp866);
}

TEST_F(TableSetTest, DropFailuresNameTheMarkerOrTheFile) {
  injectFaults();
  create("t");
  env_.failAt(platform::FaultKind::OPEN, 1, EACCES);
  EXPECT_EQ(diskError([&] { set_->dropTable("t"); }),
            "Ошибка открытия на запись in_create.txt"_cp866);
  EXPECT_TRUE(set_->hasTable("t"));
  env_.failAt(platform::FaultKind::DELETE, 1, EIO);
  EXPECT_EQ(diskError([&] { set_->dropTable("t"); }),
            cat("Ошибка удаления файла "_cp866, "t.f.i.index", " удаляемой таблицы"_cp866));
  // The marker finishes the drop at the next start.
  EXPECT_EQ(readFile(dir_.file("in_create.txt")), "t");
  reload();
  EXPECT_TRUE(set_->tables().empty());
  EXPECT_EQ(dir_.files(), std::vector<std::string>{});
}

TEST_F(TableSetTest, ListsShowTheTablesTheUserMayDescribe) {
  create("b");
  create("a");
  std::shared_ptr<Table> bare = readTable("table c alias '' { };", dir_.path());
  set_->addTable(bare);
  TextBuffer out;
  EXPECT_EQ(set_->writeNames(*bob_, out), 2u);
  EXPECT_EQ(out.toString(), "a\r\nb\r\n");
  out.clear();
  EXPECT_EQ(set_->writeAliases(*bob_, out), 2u);
  EXPECT_EQ(out.toString(), "a alias #1#a#\r\nb alias #1#b#\r\n");
  out.clear();
  EXPECT_EQ(set_->writeStructures(*bob_, out), 2u);
  EXPECT_EQ(out.toString(),
            structureText(*set_->getTable("a")) + structureText(*set_->getTable("b")));
  out.clear();
  EXPECT_EQ(set_->writeNames(*makeUser("eve"), out), 0u);
  EXPECT_EQ(out.toString(), "");
  EXPECT_EQ(semanticError([&] { set_->checkSecurity(); }),
            cat("безопасность для таблицы "_cp866, "c", " не установлена"_cp866));
}

TEST_F(TableSetTest, StructuresThatCannotBeLoadedStopTheStart) {
  create("good");
  writeFile(dir_.file("bad.structure"), "table bad alias '' { field x alias '' : txt { }; };");
  EXPECT_EQ(textError([&] { reload(); }),
            cat("не удалось загрузить структуру таблицы "_cp866, "bad"));
  writeFile(dir_.file("bad.structure"), "table bad alias ");
  EXPECT_EQ(textError([&] { reload(); }),
            cat("не удалось загрузить структуру таблицы "_cp866, "bad"));
  // A structure copied in under another table's name.
  writeFile(dir_.file("bad.structure"), readFile(dir_.file("good.structure")));
  EXPECT_EQ(textError([&] { reload(); }),
            cat("не удалось загрузить структуру таблицы "_cp866, "bad"));
  std::filesystem::remove(dir_.file("bad.structure"));
  // A stray name that shares a table's first part names that table once.
  writeFile(dir_.file("good.old.structure"), "anything");
  reload();
  EXPECT_EQ(names(), std::vector<std::string>{"good"});
}

TEST_F(TableSetTest, ACommitMarkerNamingAnUnknownTableStopsTheStart) {
  create("t");
  writeFile(dir_.file("in_commit.txt"), "t\r\nzz\r\n");
  EXPECT_EQ(semanticError([&] { reload(); }), cat("таблица "_cp866, "zz", " не найдена"_cp866));
}

}  // namespace
}  // namespace dovrel::tables_test
