// Answers shown as text, json and tsv, and the commands --fetch reads and builds.
#include <gtest/gtest.h>

#include "client/AnswerViews.h"
#include "foundation/Cp866.h"

namespace dovrel::client {
namespace {

const std::string STRUCTURE =
    "OK\r\ntable t alias #0## {\r\n"
    "   field s alias #0## : text {\r\n   };\r\n"
    "   field n alias #0## : int64 null {\r\n   };\r\n"
    "   group g alias #0## {\r\n      field room alias #0## : text null {\r\n      };\r\n   };\r\n"
    "};\r\n";

// Two documents of t: the second leaves the group out and has a null.
const std::string DOCUMENTS =
    std::string("OK\r\ndocument {\r\n   field s = #6#a\tb\\\r\n#;\r\n") +
    "   field n = #2#-7#;\r\n   group g {\r\n      field room = #1#A#;\r\n" +
    "   };\r\n};\r\ndocument {\r\n   field s = #3#" + std::string("мир"_cp1251) +
    "#;\r\n   field n = null;\r\n};\r\n";

std::string numbers(std::initializer_list<uint32_t> values) {
  std::string bytes;
  for (uint32_t v : values) {
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((v >> shift) & 0xFF);
  }
  return bytes;
}

TEST(AnswerViewsTest, EachAnswerInEachFormat) {
  const TableStructure structure = parseTableStructure(STRUCTURE);
  const auto structureOf = [&](const std::string& table) {
    return table == "t" ? &structure : nullptr;
  };
  const std::string two = "get document 4 from table t; document 9 from table T only s;";
  const std::string refusal = "ERROR\r\n" + std::string("Ошибка в строке 3 столбце 8: нет"_cp866);
  const struct {
    std::string answer;
    std::string command;
    OutputFormat format;
    std::string out;
    std::string err;
  } rows[] = {
      // Several clauses are labeled in text; one is shown as the server answers it.
      {DOCUMENTS, two, OutputFormat::TEXT,
       "OK\ndocument 4 {\n   field s = #5#a\tb\\\n#;\n   field n = #2#-7#;\n   group g {\n"
       "      field room = #1#A#;\n   };\n};\ndocument 9 {\n   field s = #3#мир#;\n"
       "   field n = null;\n};\n",
       ""},
      {"OK\r\ndocument {\r\n   field s = #1#x#;\r\n};\r\n", "get document 4 from table t;",
       OutputFormat::TEXT, "OK\ndocument {\n   field s = #1#x#;\n};\n", ""},
      {DOCUMENTS, two, OutputFormat::JSON,
       "{\"@id\":4,\"s\":\"a\\tb\\\\\\r\\n\",\"n\":-7,\"g\":{\"room\":\"A\"}}\n"
       "{\"@id\":9,\"s\":\"мир\",\"n\":null}\n",
       ""},
      {DOCUMENTS, two, OutputFormat::TSV,
       "@id\ts\tn\tg.room\n4\ta\\tb\\\\\\r\\n\t-7\tA\n9\tмир\t\\N\t\\N\n", ""},
      // Not documents (a meta clause): the answer's lines.
      {"OK\r\ndocument {\r\n   created = #1#x#;\r\n};\r\n", "get document 1 from table t meta;",
       OutputFormat::JSON,
       "{\"ok\":true,\"lines\":[\"document {\",\"   created = #1#x#;\",\"};\"]}\n", ""},
      {"OK\r\n1\r\nbooks\r\n", "get table names;", OutputFormat::TSV, "1\nbooks\n", ""},
      {"OK\r\n2 of 5\r\n" + numbers({3, 4000000000u}), "select from t where s.w = 'x' limit 2;",
       OutputFormat::JSON, "{\"count\":2,\"found\":5,\"documents\":[3,4000000000]}\n", ""},
      {"OK\r\n1\r\n" + numbers({3}), " SELECT from t where s.w = 'x';", OutputFormat::TSV,
       "@id\n3\n", ""},
      // Refusals: json names the line within the command; tsv keeps standard output clean.
      {refusal, "select\nfrom x;", OutputFormat::JSON,
       "{\"error\":\"нет\",\"line\":1,\"column\":8}\n", ""},
      {"ERROR\r\n" + std::string("Ошибка в строке 2 столбце 9: неверный пароль"_cp866), "commit;",
       OutputFormat::JSON, "{\"error\":\"неверный пароль\"}\n", ""},
      {"ERROR\r\n" + std::string("сервер в состоянии\r\nошибки"_cp866), "commit;",
       OutputFormat::JSON, "{\"error\":\"сервер в состоянии ошибки\"}\n", ""},
      {refusal, "commit;", OutputFormat::TSV, "", "ERROR\nОшибка в строке 3 столбце 8: нет\n"},
  };
  for (const auto& row : rows) {
    const ShownAnswer shown = showAnswer(
        row.answer, row.command, {row.format, ValueCodePage::VALUES_1251, false}, structureOf);
    EXPECT_EQ(shown.out, row.out) << row.command;
    EXPECT_EQ(shown.err, row.err) << row.command;
  }
}

TEST(AnswerViewsTest, GetClausesAndSearchedTables) {
  const auto clauses = getDocumentClauses(
      "GET document 12 from table Books only title, shelf.room;\r\n"
      "document 0 from table t;");
  ASSERT_TRUE(clauses);
  ASSERT_EQ(clauses->size(), 2u);
  EXPECT_EQ((*clauses)[0].number, 12u);
  EXPECT_EQ((*clauses)[0].table, "books");
  EXPECT_EQ((*clauses)[1].table, "t");
  for (const char* notWhole : {"get document 1 from table t length;",
                               "get document 1 from table t; document 2 from table t meta;",
                               "get document x from table t;", "get document 1 from table t",
                               "get users;", "get document 4294967296 from table t;", ""}) {
    EXPECT_FALSE(getDocumentClauses(notWhole)) << notWhole;
  }
  EXPECT_EQ(searchedTable("select including updated FROM Books where a.b = 'from';"), "books");
  EXPECT_EQ(getDocumentsCommand("t", {1, 7}),
            "get document 1 from table t;\r\ndocument 7 from table t;\r\n");
  EXPECT_EQ(getDocumentClauses(getDocumentsCommand("t", {1, 7}))->size(), 2u);
}

}  // namespace
}  // namespace dovrel::client
