// Table storage: creating and opening a table's files, documents and their meta records
// byte by byte, the refusals of the document operations, the counts, and commits that
// survive reopening.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "foundation/Cp866.h"
#include "keys/TableIndex.h"
#include "platform/FaultInjectionEnv.h"
#include "tables/MetaRecord.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

constexpr std::string_view STRUCTURE =
    "table t alias 'T' {"
    " field title alias '' : text { index w 'words size=16'; index h 'whole size=16'; };"
    " field year alias '' : int64 null { index y 'whole size=16'; };"
    " group g alias '' { field d alias '' : date { index d 'whole size=16'; }; };"
    "};";

TEST(MetaRecordTest, WritesEachFormByteForByte) {
  const std::string time = MetaRecord::timeText({2026, 1, 5, 3, 4, 9, 999});
  EXPECT_EQ(time, "05.01.2026 03:04:09");
  TextBuffer record;
  MetaRecord::appendCreation(record, "bob", time, false, 0);
  EXPECT_EQ(record.toString(),
            "document {\r\n"
            "   usercreated = #3#bob#;\r\n"
            "   creationtime = #19#05.01.2026 03:04:09#;\r\n"
            "   replaced = #4#none#;\r\n"
            "};\r\n");
  ASSERT_TRUE(MetaRecord::markReplacedBy(record, 1234));
  ASSERT_TRUE(MetaRecord::markDeleted(record, "al", "31.12.1999 23:59:59"));
  EXPECT_EQ(record.toString(),
            "document {\r\n"
            "   usercreated = #3#bob#;\r\n"
            "   creationtime = #19#05.01.2026 03:04:09#;\r\n"
            "   replaced = #4#none#;\r\n"
            "   replacedby = #4#1234#;\r\n"
            "   userdeleted = #2#al#;\r\n"
            "   deletiontime = #19#31.12.1999 23:59:59#;\r\n"
            "};\r\n");
  TextBuffer replacing;
  MetaRecord::appendCreation(replacing, "bob", time, true, 0);
  EXPECT_NE(replacing.stringView().find("   replaced = #1#0#;\r\n"), std::string_view::npos);
}

TEST(MetaRecordTest, ARecordWithoutItsClosingLineIsLeftAlone) {
  TextBuffer record;
  record.append(std::string_view("document {\r\n};"));
  EXPECT_FALSE(MetaRecord::markDeleted(record, "bob", "01.01.2000 00:00:00"));
  EXPECT_FALSE(MetaRecord::markReplacedBy(record, 1));
  EXPECT_EQ(record.toString(), "document {\r\n};");
}

class TableFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = readTable(STRUCTURE, dir_.path());
    table_->createFiles();
  }

  uint32_t add(std::string_view body, bool replacing = false, uint32_t replaced = 0) {
    return storeDocument(*table_, body, *bob_, replacing, replaced);
  }
  void remove(uint32_t number) { deleteStored(*table_, number, *al_); }
  // The meta record with its time texts checked against the clock and replaced by TIME.
  std::string meta(uint32_t number, const std::string& earliest, const std::string& latest) {
    TextBuffer out;
    table_->getMeta(number, out);
    std::string text = out.toString();
    for (std::string_view keyword : {"creationtime = #19#", "deletiontime = #19#"}) {
      const std::size_t at = text.find(keyword);
      if (at == std::string::npos) continue;
      const std::string time = text.substr(at + keyword.size(), 19);
      EXPECT_TRUE(time == earliest || time == latest) << time;
      text.replace(at + keyword.size(), 19, "TIME");
    }
    return text;
  }
  std::vector<uint32_t> search(std::string_view field, std::string_view index,
                               std::string_view value, index::SearchMode mode) {
    auto found = dynamic_cast<TableField*>(table_->findMember(field));
    index::OrderedListPtr list = found->findIndex(index)->equal(TextView(value), mode);
    return std::vector<uint32_t>(list->begin(), list->end());
  }

  DataDir dir_;
  std::shared_ptr<User> bob_ = makeUser("bob");
  std::shared_ptr<User> al_ = makeUser("al");
  std::shared_ptr<Table> table_;
};

TEST_F(TableFilesTest, CreateFilesWritesEveryFileAndLeavesNoMarker) {
  EXPECT_EQ(dir_.files(),
            (std::vector<std::string>{"t.g.d.d.index", "t.meta", "t.structure", "t.table",
                                      "t.title.h.index", "t.title.w.index", "t.year.y.index"}));
  EXPECT_EQ(readFile(dir_.file("t.structure")), structureText(*table_));
  EXPECT_TRUE(table_->filesOpen());
  EXPECT_EQ(table_->getLiveCount(), 0u);
  EXPECT_EQ(table_->getNumberCount(), 0u);
}

TEST_F(TableFilesTest, StoresTheTextAndMetaRecordOfEachDocument) {
  const std::string before = MetaRecord::timeTextNow();
  const uint32_t first = add("field title = 'Old'; field year = null;");
  const uint32_t second = add("field title = 'New'; field year = '2001';", true, first);
  const uint32_t third =
      add("field title = 'x'; field year = '1'; group g { field d = '01.01.2001'; };");
  remove(third);
  const std::string after = MetaRecord::timeTextNow();
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 1u);
  EXPECT_EQ(third, 2u);

  TextBuffer text;
  table_->getDocument(second, text);
  EXPECT_EQ(text.toString(),
            "document {\r\n   field title = #3#New#;\r\n   field year = #4#2001#;\r\n};\r\n");
  EXPECT_EQ(table_->getDocumentLength(second), text.length());
  EXPECT_EQ(meta(first, before, after),
            "document {\r\n"
            "   usercreated = #3#bob#;\r\n"
            "   creationtime = #19#TIME#;\r\n"
            "   replaced = #4#none#;\r\n"
            "   replacedby = #1#1#;\r\n"
            "};\r\n");
  EXPECT_EQ(meta(second, before, after),
            "document {\r\n"
            "   usercreated = #3#bob#;\r\n"
            "   creationtime = #19#TIME#;\r\n"
            "   replaced = #1#0#;\r\n"
            "};\r\n");
  EXPECT_EQ(meta(third, before, after),
            "document {\r\n"
            "   usercreated = #3#bob#;\r\n"
            "   creationtime = #19#TIME#;\r\n"
            "   replaced = #4#none#;\r\n"
            "   userdeleted = #2#al#;\r\n"
            "   deletiontime = #19#TIME#;\r\n"
            "};\r\n");
  EXPECT_TRUE(table_->isDocumentDeleted(first));
  EXPECT_FALSE(table_->isDocumentDeleted(second));
  EXPECT_TRUE(table_->isDocumentDeleted(third));
}

TEST_F(TableFilesTest, DeletedAndReplacedDocumentsCannotBeDeletedOrReplacedAgain) {
  const uint32_t first = add("field title = 'a'; field year = null;");
  add("field title = 'b'; field year = null;", true, first);
  const uint32_t third = add("field title = 'c'; field year = null;");
  remove(third);
  TextBuffer metaBefore;
  table_->getMeta(first, metaBefore);
  const uint32_t numbers = table_->getNumberCount();

  const std::string gone0 = cat("документ "_cp866, "0", " уже удалён/заменён"_cp866);
  const std::string gone2 = cat("документ "_cp866, "2", " уже удалён/заменён"_cp866);
  EXPECT_EQ(semanticError([&] { table_->deleteDocument(third, *al_); }), gone2);
  EXPECT_EQ(semanticError([&] { table_->deleteDocument(first, *al_); }), gone0);
  EXPECT_EQ(semanticError([&] { add("field title = 'd'; field year = null;", true, first); }),
            gone0);
  EXPECT_EQ(semanticError([&] { add("field title = 'd'; field year = null;", true, third); }),
            gone2);
  // Nothing was stored by the refused operations; the replaced document's record keeps
  // its replacedby line and gains no deletion.
  EXPECT_EQ(table_->getNumberCount(), numbers);
  TextBuffer metaAfter;
  table_->getMeta(first, metaAfter);
  EXPECT_EQ(metaAfter.toString(), metaBefore.toString());
  EXPECT_EQ(metaAfter.stringView().find("userdeleted"), std::string_view::npos);
}

TEST_F(TableFilesTest, NumbersPastTheEndAreRefusedByEveryOperation) {
  add("field title = 'a'; field year = null;");
  for (uint32_t number : {1u, 1u << 30, 0xFFFFFFFFu}) {
    const std::string missing =
        cat("документ номер "_cp866, std::to_string(number), " отсутствует в таблице "_cp866, "t");
    TextBuffer out;
    EXPECT_EQ(semanticError([&] { table_->isDocumentDeleted(number); }), missing);
    EXPECT_EQ(semanticError([&] { table_->getDocumentLength(number); }), missing);
    EXPECT_EQ(semanticError([&] { table_->getDocument(number, out); }), missing);
    EXPECT_EQ(semanticError([&] { table_->getMeta(number, out); }), missing);
    EXPECT_EQ(semanticError([&] { table_->deleteDocument(number, *al_); }), missing);
    EXPECT_EQ(semanticError([&] { add("field title = 'b'; field year = null;", true, number); }),
              missing);
    EXPECT_EQ(out.length(), 0u);
  }
  EXPECT_EQ(table_->getNumberCount(), 1u);
}

TEST_F(TableFilesTest, LiveCountFallsWithDeletesAndNumberCountNeverFalls) {
  const uint32_t a = add("field title = 'a'; field year = null;");
  const uint32_t b = add("field title = 'b'; field year = null;");
  EXPECT_EQ(table_->getLiveCount(), 2u);
  EXPECT_EQ(table_->getNumberCount(), 2u);
  add("field title = 'c'; field year = null;", true, a);
  EXPECT_EQ(table_->getLiveCount(), 2u);
  EXPECT_EQ(table_->getNumberCount(), 3u);
  remove(b);
  EXPECT_EQ(table_->getLiveCount(), 1u);
  EXPECT_EQ(table_->getNumberCount(), 3u);
}

TEST_F(TableFilesTest, TheIndexWalkRecordsNonNullValuesAndWithdrawsThemAgain) {
  const uint32_t a =
      add("field title = 'red fox'; field year = null; group g { field d = '02.03.2004'; };");
  const uint32_t b = add("field title = 'Red'; field year = '7';", true, a);
  using index::SearchMode;
  EXPECT_EQ(search("title", "w", "RED", SearchMode::PRESENT), std::vector<uint32_t>{b});
  EXPECT_EQ(search("title", "w", "red", SearchMode::REMOVED), std::vector<uint32_t>{a});
  EXPECT_EQ(search("title", "w", "fox", SearchMode::PRESENT), std::vector<uint32_t>{});
  EXPECT_EQ(search("title", "w", "fox", SearchMode::ALL), std::vector<uint32_t>{a});
  EXPECT_EQ(search("year", "y", "7", SearchMode::PRESENT), std::vector<uint32_t>{b});
  auto group = dynamic_cast<TableGroup*>(table_->findMember("g"));
  index::OrderedListPtr dated =
      group->findField("d")->findIndex("d")->equal(TextView("02.03.2004"), SearchMode::REMOVED);
  EXPECT_EQ(std::vector<uint32_t>(dated->begin(), dated->end()), std::vector<uint32_t>{a});
  // A null value records no key at all.
  EXPECT_EQ(dynamic_cast<TableField*>(table_->findMember("year"))
                ->findIndex("y")
                ->countKeys(SearchMode::ALL),
            1u);
}

TEST_F(TableFilesTest, AStoredDocumentThatDoesNotFitTheTableIsADiskError) {
  // Stored through another structure of the same files, as only damage on disk could
  // leave them for this one.
  table_.reset();
  std::shared_ptr<Table> other =
      readTable("table t alias 'T' { field gone alias '' : text { }; };", dir_.path());
  other->openFiles(OpenMode::openNormal);
  for (uint32_t number : {0u, 1u}) {
    EXPECT_EQ(other->addDocument(*readDocument("document { field gone = 'x'; }"), *bob_), number);
  }
  TextBuffer stored;
  other->getDocument(0, stored);
  EXPECT_EQ(stored.toString(), "document {\r\n   field gone = #1#x#;\r\n};\r\n");
  other->commitPrepare();
  other->commitFinish();
  other.reset();
  table_ = readTable(STRUCTURE, dir_.path());
  table_->openFiles(OpenMode::openNormal);
  EXPECT_EQ(diskError([&] { table_->deleteDocument(0, *al_); }), "ошибка работы с БД"_cp866);
  // A replacement stores and indexes the new document before it withdraws the keys of the
  // old one, where the walk fails.
  const std::shared_ptr<Document> replacement =
      readDocument("document { field title = 'new'; field year = null; }");
  EXPECT_EQ(diskError([&] { table_->replaceDocument(1, *replacement, *bob_); }),
            "ошибка работы с БД"_cp866);
  EXPECT_EQ(table_->getNumberCount(), 3u);
  EXPECT_TRUE(table_->isDocumentDeleted(0));
  EXPECT_TRUE(table_->isDocumentDeleted(1));
  EXPECT_EQ(search("title", "h", "new", index::SearchMode::PRESENT), std::vector<uint32_t>{2});
  // The failure forbids the commit: reopened, the files hold the last commit again.
  table_.reset();
  table_ = readTable(STRUCTURE, dir_.path());
  table_->openFiles(OpenMode::openNormal);
  EXPECT_EQ(table_->getNumberCount(), 2u);
  EXPECT_FALSE(table_->isDocumentDeleted(0));
  EXPECT_FALSE(table_->isDocumentDeleted(1));
  EXPECT_EQ(search("title", "h", "new", index::SearchMode::ALL), std::vector<uint32_t>{});
}

TEST_F(TableFilesTest, CommittedDocumentsSurviveReopeningAndUncommittedOnesDoNot) {
  add("field title = 'kept'; field year = '1';");
  table_->commitPrepare();
  table_->commitFinish();
  add("field title = 'lost'; field year = '2';");
  table_.reset();  // without a commit, as a crash would leave it

  table_ = readTable(STRUCTURE, dir_.path());
  EXPECT_FALSE(table_->filesOpen());
  table_->openFiles(OpenMode::openNormal);
  EXPECT_EQ(table_->getNumberCount(), 1u);
  EXPECT_EQ(search("title", "h", "kept", index::SearchMode::PRESENT), std::vector<uint32_t>{0});
  EXPECT_EQ(search("title", "h", "lost", index::SearchMode::ALL), std::vector<uint32_t>{});
  // The next number is given again after the lost one.
  EXPECT_EQ(add("field title = 'again'; field year = null;"), 1u);
}

TEST_F(TableFilesTest, AFailedOpenLeavesEveryFileClosed) {
  table_.reset();
  std::filesystem::remove(dir_.file("t.year.y.index"));
  table_ = readTable(STRUCTURE, dir_.path());
  EXPECT_EQ(diskError([&] { table_->openFiles(OpenMode::openNormal); }),
            cat("Не удалось открыть файл индекса "_cp866, dir_.file("t.year.y.index")));
  EXPECT_FALSE(table_->filesOpen());
  // Nothing stays locked: a second table object may open what exists.
  std::shared_ptr<Table> plain = readTable("table t alias '' { };", dir_.path());
  plain->openFiles(OpenMode::openNormal);
  EXPECT_TRUE(plain->filesOpen());

  std::shared_ptr<Table> absent = readTable("table u alias '' { };", dir_.path());
  EXPECT_EQ(diskError([&] { absent->openFiles(OpenMode::openNormal); }),
            "ошибка работы с БД"_cp866);
  EXPECT_FALSE(absent->filesOpen());
}

class TableCreateFailureTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::Env::setCurrent(nullptr); }

  DataDir dir_;
  platform::FaultInjectionEnv env_;
};

TEST_F(TableCreateFailureTest, MarkerAndStructureFailuresAreDiskErrors) {
  platform::Env::setCurrent(&env_);
  std::shared_ptr<Table> table = readTable(STRUCTURE, dir_.path());
  env_.failAt(platform::FaultKind::OPEN, 1, EACCES);
  EXPECT_EQ(diskError([&] { table->createFiles(); }),
            "Ошибка открытия на запись in_create.txt"_cp866);
  EXPECT_EQ(dir_.files(), std::vector<std::string>{});

  env_.failAt(platform::FaultKind::OPEN, 2, EACCES);
  EXPECT_EQ(diskError([&] { table->createFiles(); }),
            cat("Ошибка открытия на запись "_cp866, "t.structure"));
  // The marker stays for the next start, and the table holds no file.
  EXPECT_EQ(readFile(dir_.file("in_create.txt")), "t");
  EXPECT_FALSE(table->filesOpen());

  env_.clearFaults();
  env_.failAt(platform::FaultKind::SYNC, 2, EIO);
  EXPECT_EQ(diskError([&] { table->createFiles(); }), cat("Ошибка записи в "_cp866, "t.structure"));
  EXPECT_FALSE(table->filesOpen());
}

TEST_F(TableCreateFailureTest, AnIndexThatCannotBeCreatedNamesItsFile) {
  std::filesystem::create_directory(dir_.file("t.title.h.index"));
  std::shared_ptr<Table> table = readTable(STRUCTURE, dir_.path());
  EXPECT_EQ(diskError([&] { table->createFiles(); }),
            cat("Не удалось создать файл "_cp866, dir_.file("t.title.h.index")));
  EXPECT_FALSE(table->filesOpen());
  EXPECT_TRUE(dir_.exists("in_create.txt"));
}

}  // namespace
}  // namespace dovrel::tables_test
