// Table structures: the structure text read with every message, written in its fixed
// layout and read back, and the type check of field values.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "keys/TableIndex.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

// Keywords and the type in capitals, options in the other order, quoted and counted
// aliases, a field without indexes, a null field, a group.
constexpr std::string_view MIXED_STRUCTURE =
    "TABLE Books ALIAS \"Tbl\" {\n"
    "  field a alias '' : Text { };\n"
    "  Field b alias #1#B# : INT64 NULL { index I 'whole'; };\n"
    "  group g alias 'G' {\n"
    "    field c alias \"\" : text { index w 'words mult=3 size=16'; index p \"words-prefix\"; };\n"
    "  };\n"
    "};";

constexpr std::string_view CANONICAL_STRUCTURE =
    "table books alias #3#Tbl# {\r\n"
    "   field a alias #0## : text {\r\n"
    "   };\r\n"
    "   field b alias #1#B# : int64 null {\r\n"
    "      index i #5#whole#;\r\n"
    "   };\r\n"
    "   group g alias #1#G# {\r\n"
    "      field c alias #0## : text {\r\n"
    "         index w #20#words size=16 mult=3#;\r\n"
    "         index p #12#words-prefix#;\r\n"
    "      };\r\n"
    "   };\r\n"
    "};\r\n";

TEST(TableStructureTest, WritesTheFixedLayoutAndReadsItBackUnchanged) {
  std::shared_ptr<Table> table = readTable(MIXED_STRUCTURE, "");
  EXPECT_EQ(structureText(*table), CANONICAL_STRUCTURE);
  std::shared_ptr<Table> again = readTable(CANONICAL_STRUCTURE, "");
  EXPECT_EQ(structureText(*again), CANONICAL_STRUCTURE);
}

TEST(TableStructureTest, FullNamesJoinTheShortNamesWithDots) {
  std::shared_ptr<Table> table = readTable(MIXED_STRUCTURE, "/data/");
  auto group = dynamic_cast<TableGroup*>(table->findMember("g"));
  ASSERT_NE(group, nullptr);
  TableField* field = group->findField("c");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->getFullName(), "books.g.c");
  EXPECT_EQ(field->findIndex("w")->fullName(), "books.g.c.w");
  EXPECT_EQ(field->findIndex("w")->filePath(), "/data/books.g.c.w.index");
  EXPECT_EQ(table->findMember("b")->getFullName(), "books.b");
  // An index name and a member name live in different name spaces.
  EXPECT_EQ(field->findIndex("c"), nullptr);
  EXPECT_EQ(table->findMember("c"), nullptr);
  // One flat list holds every index in declaration order, each beside its own field.
  std::vector<std::string> flat;
  for (const Table::FieldIndex& each : table->indexes()) {
    EXPECT_EQ(each.field->findIndex(each.index->name()), each.index);
    flat.push_back(each.index->fullName());
  }
  EXPECT_EQ(flat, (std::vector<std::string>{"books.b.i", "books.g.c.w", "books.g.c.p"}));
}

TEST(TableStructureTest, AliasBytesSurviveTheRoundTrip) {
  const std::string alias = std::string("Книги"_cp866) + "#\r\n";
  const std::string text =
      "table t alias #" + std::to_string(alias.size()) + "#" + alias + "# { };";
  std::shared_ptr<Table> table = readTable(text, "");
  EXPECT_EQ(table->alias(), alias);
  const std::string written = structureText(*table);
  EXPECT_EQ(written,
            "table t alias #" + std::to_string(alias.size()) + "#" + alias + "# {\r\n};\r\n");
  EXPECT_EQ(readTable(written, "")->alias(), alias);
  TextBuffer line;
  table->writeAliasLine(line);
  EXPECT_EQ(line.toString(), "t alias #" + std::to_string(alias.size()) + "#" + alias + "#\r\n");
}

struct StructureRefusal {
  std::string_view body;  // the members of table t
  std::string message;
};

TEST(TableStructureTest, RefusesBadDeclarationsWithTheirMessages) {
  const StructureRefusal cases[] = {
      {"field a alias '' : txt { };", cat("txt", " - недопустимый тип поля "_cp866, "t.a")},
      {"field a alias '' : null { };", cat("null", " - недопустимый тип поля "_cp866, "t.a")},
      {"field a alias '' : int64 { index i 'words'; };",
       cat("t.a.i", " - вид индекса words несовместим с типом поля "_cp866, "int64")},
      {"field a alias '' : double { index i 'whole-alphanum mult=4'; };",
       cat("t.a.i", " - вид индекса whole-alphanum несовместим с типом поля "_cp866, "double")},
      {"field a alias '' : binary { index i 'whole'; };",
       cat("t.a.i", " - вид индекса whole несовместим с типом поля "_cp866, "binary")},
      {"field a alias '' : file { index i 'whole'; };",
       cat("t.a.i", " - вид индекса whole несовместим с типом поля "_cp866, "file")},
      {"field a alias '' : text { index i 'whole'; index i 'words'; };",
       cat("повторное объявление индекса "_cp866, "t.a.i")},
      // The kind is checked before the name.
      {"field a alias '' : date { index i 'whole'; index i 'words'; };",
       cat("t.a.i", " - вид индекса words несовместим с типом поля "_cp866, "date")},
      {"field a alias '' : text { index i 'word'; };",
       cat("word", " - недопустимый вид индекса "_cp866, "t.a.i",
           ": недопустимая базовая часть word"_cp866)},
      {"field a alias '' : text { index i 'words mult=1'; };",
       cat("words mult=1", " - недопустимый вид индекса "_cp866, "t.a.i",
           ": недопустимое значение после mult="_cp866)},
      {"group g alias '' { field c alias '' : text { }; field c alias '' : int64 { }; };",
       cat("повторное объявление поля "_cp866, "t.g.c")},
      {"field x alias '' : text { }; group x alias '' { };",
       cat("повторное объявление имени "_cp866, "t.x")},
      {"group x alias '' { }; field x alias '' : text { };",
       cat("повторное объявление имени "_cp866, "t.x")},
      {"field x alias '' : text { }; field X alias '' : time { };",
       cat("повторное объявление имени "_cp866, "t.x")},
  };
  for (const StructureRefusal& refusal : cases) {
    SCOPED_TRACE(refusal.body);
    const std::string text = cat("table t alias '' { ", refusal.body, " };");
    EXPECT_EQ(semanticError([&] { readTable(text, ""); }), refusal.message);
  }
}

TEST(TableStructureTest, MisplacedKeywordsAreSyntaxErrors) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      // null anywhere but after the type
      {"field a alias '' : text { null };", "ожидается '}' получено <имя>"_cp866},
      {"field a null alias '' : text { };", "ожидается alias получено null"_cp866},
      // groups do not nest, and a group body holds no index
      {"group g alias '' { group h alias '' { }; };", "ожидается '}' получено <имя>"_cp866},
      {"group g alias '' { index i 'whole'; };", "ожидается '}' получено <имя>"_cp866},
      {"fields a alias '' : text { };", "ожидается '}' получено <имя>"_cp866},
      {"field 5 alias '' : text { };", "ожидается имя поля получено <число>"_cp866},
      {"field a alias '' : 'text' { };", "ожидается имя типа получено <строка>"_cp866},
      {"field a alias '' : text { index 'whole'; };",
       "ожидается имя индекса получено <строка>"_cp866},
      {"field a alias '' : text { } ", "ожидается ';' получено '}'"_cp866},
  };
  for (const auto& [body, message] : cases) {
    SCOPED_TRACE(body);
    const std::string text = cat("table t alias '' { ", body, " };");
    const std::string error = textError([&] { readTable(text, ""); });
    EXPECT_NE(error.find(message), std::string::npos) << cp866ToUtf8(error);
  }
  EXPECT_NE(textError([] {
              readTable("table 7 alias '' { };", "");
            }).find("ожидается имя таблицы получено <число>"_cp866),
            std::string::npos);
}

TEST(TableStructureTest, FieldsOfOneNameInTwoGroupsAreAccepted) {
  std::shared_ptr<Table> table = readTable(
      "table t alias '' { group g alias '' { field c alias '' : text { index i 'whole'; }; };"
      " group h alias '' { field c alias '' : text { index i 'whole'; }; }; };",
      "");
  EXPECT_EQ(table->members().size(), 2u);
  ASSERT_EQ(table->indexes().size(), 2u);
  EXPECT_EQ(table->indexes()[0].field->getFullName(), "t.g.c");
  EXPECT_EQ(table->indexes()[1].field->getFullName(), "t.h.c");
}

TEST(TableStructureTest, VisitedFlagsTrackTheFirstMissingFieldInOrder) {
  std::shared_ptr<Table> table = readTable(
      "table t alias '' { field a alias '' : text { }; group g alias '' {"
      " field x alias '' : text { }; field y alias '' : text { }; };"
      " field b alias '' : text { }; };",
      "");
  auto group = dynamic_cast<TableGroup*>(table->findMember("g"));
  // A new structure counts as visited everywhere.
  EXPECT_EQ(table->findUnvisited(), nullptr);
  EXPECT_EQ(group->findUnvisited(), nullptr);
  table->clearVisited();
  EXPECT_EQ(table->findUnvisited()->getName(), "a");
  dynamic_cast<TableField*>(table->findMember("a"))->setVisited(true);
  EXPECT_EQ(table->findUnvisited()->getName(), "b");
  // The table's flags leave the group alone, and the reverse.
  EXPECT_EQ(group->findUnvisited(), nullptr);
  group->clearVisited();
  group->findField("x")->setVisited(true);
  EXPECT_EQ(group->findUnvisited()->getName(), "y");
  EXPECT_EQ(table->findUnvisited()->getName(), "b");
}

// --- Values ------------------------------------------------------------------------------

class FieldValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = readTable(
        "table t alias '' { field text alias '' : text { }; field binary alias '' : binary { };"
        " field int64 alias '' : int64 { }; field double alias '' : double { };"
        " field date alias '' : date { }; field time alias '' : time { };"
        " field datetime alias '' : datetime { }; field file alias '' : file { }; };",
        "");
  }
  bool fits(std::string_view field, std::string_view value) {
    return dynamic_cast<TableField*>(table_->findMember(field))->checkValue(TextView(value));
  }

  std::shared_ptr<Table> table_;
};

TEST_F(FieldValueTest, TextAndBinaryTakeAnyBytes) {
  const std::string anyBytes("\0\xFF\r\n#'\"", 7);
  for (std::string_view field : {"text", "binary"}) {
    EXPECT_TRUE(fits(field, ""));
    EXPECT_TRUE(fits(field, anyBytes));
  }
}

TEST_F(FieldValueTest, TypedValuesMustConvert) {
  const std::tuple<std::string_view, std::string_view, bool> cases[] = {
      {"int64", "0", true},
      {"int64", "-9223372036854775808", true},
      {"int64", "9223372036854775807", true},
      {"int64", "9223372036854775808", false},
      {"int64", "-0", false},
      {"int64", "007", false},
      {"int64", "", false},
      {"double", "1.e5", true},
      {"double", "-0.5E-3", true},
      {"double", "1e5", false},
      {"double", "12", false},
      {"date", "31.02.2007", true},
      {"date", "1.02.2007", false},
      {"time", "99:99", true},
      {"time", "10:00:05", true},
      {"time", "10:00:5", false},
      {"datetime", "01.02.2007 10:00", true},
      {"datetime", "01.02.2007  10:00", false},
  };
  for (const auto& [field, value, expected] : cases) {
    EXPECT_EQ(fits(field, value), expected) << field << " " << value;
  }
}

TEST_F(FieldValueTest, FileValuesNeedAPathLineFollowedByAnEmptyLine) {
  const std::pair<std::string_view, bool> cases[] = {
      {"File-Path: C:\\docs\\a.txt\r\n\r\n", true},
      {"Content-Type: text\r\nFile-Path: x\r\n\r\nbody bytes", true},
      // The first line beginning "File-Path: " decides.
      {"File-Path: a\r\n\r\nFile-Path: b/c\r\n\r\n", true},
      {"File-Path: a/b\r\n\r\n", false},
      {"File-Path: a?b\r\n\r\n", false},
      {"File-Path: \r\n\r\n", false},
      {"\r\nFile-Path: a\r\n\r\n", false},
      {"X: 1\r\n\r\nFile-Path: a\r\n\r\n", false},
      {"File-Path: a\r\nX: 1\r\n\r\n", false},
      {"File-Path: a\r\n", false},
      {"File-Path: a", false},
      {"File-path: a\r\n\r\n", false},
      {"File-Path:a\r\n\r\n", false},
      {"x", false},
      {"", false},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(fits("file", value), expected) << value;
  }
}

}  // namespace
}  // namespace dovrel::tables_test
