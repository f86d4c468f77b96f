// JSON lines against the server's document text: structures read from answers, objects
// turned into add clauses (or refused), documents turned into JSON lines.
#include <gtest/gtest.h>

#include "client/ClientError.h"
#include "client/JsonExport.h"
#include "client/JsonImport.h"
#include "client/TableStructure.h"

namespace dovrel::client {
namespace {

// A structure answer as the server writes it, with every value type.
const std::string STRUCTURE =
    "OK\r\ntable t alias #1#T# {\r\n"
    "   field s alias #0## : text {\r\n      index w #5#words#;\r\n   };\r\n"
    "   field n alias #0## : int64 {\r\n   };\r\n"
    "   field d alias #2#{}# : double null {\r\n      index whole #13#whole size=16#;\r\n   };\r\n"
    "   field day alias #0## : date null {\r\n   };\r\n"
    "   field at alias #0## : datetime null {\r\n   };\r\n"
    "   field hm alias #0## : time null {\r\n   };\r\n"
    "   group g alias #1#;# {\r\n"
    "      field room alias #0## : text {\r\n      };\r\n"
    "      field since alias #0## : date null {\r\n      };\r\n"
    "   };\r\n};\r\n";

TableStructure structure() { return parseTableStructure(STRUCTURE); }

TEST(JsonTransferTest, StructureAnswerGivesFieldsTypesAndGroups) {
  const TableStructure t = structure();
  EXPECT_EQ(t.name, "t");
  ASSERT_EQ(t.members.size(), 7u);
  EXPECT_EQ(t.members[2].field.type, "double");
  EXPECT_TRUE(t.members[2].field.nullable);
  EXPECT_FALSE(t.members[1].field.nullable);
  ASSERT_TRUE(t.members[6].isGroup);
  EXPECT_EQ(t.members[6].groupName, "g");
  ASSERT_EQ(t.members[6].fields.size(), 2u);
  EXPECT_EQ(t.members[6].fields[1].type, "date");
  EXPECT_THROW(parseTableStructure("OK\r\ntable t alias #9#T# {"), ClientError);
}

const std::string REQUIRED = R"("s": "x", "n": 1, "d": null, "day": null, "at": null, "hm": null)";
const std::string REQUIRED_CLAUSE =
    "field s = #1#x#; field n = #1#1#; field d = null; field day = null; field at = null; "
    "field hm = null; ";

// Each object with the clause it becomes (the required fields around it elided).
TEST(JsonTransferTest, ObjectsBecomeAddClausesWithCountedValues) {
  struct Row {
    std::string json;
    std::string clause;
    ValueCodePage values = ValueCodePage::VALUES_1251;
  };
  const std::vector<Row> rows = {
      {"{" + REQUIRED + "}", "add document { " + REQUIRED_CLAUSE + "} to table t;"},
      // Keys in any order and letter case; "@id" ignored; a null group left out.
      {R"({"HM": null, "@id": 7, "at": null, "day": null, "d": null, "n": 1, "S": "x", "g": null})",
       "add document { " + REQUIRED_CLAUSE + "} to table t;"},
      {R"({"s": "it's #3#;}", "n": -9223372036854775808, "d": 2.5e-3, "day": "2024-12-25",
           "at": "2024-12-25T09:30:15", "hm": "09:30", "g": {"room": "A-1", "since": null}})",
       "add document { field s = #10#it's #3#;}#; field n = #20#-9223372036854775808#; "
       "field d = #6#0.0025#; field day = #10#25.12.2024#; field at = #19#25.12.2024 09:30:15#; "
       "field hm = #5#09:30#; group g { field room = #3#A-1#; field since = null; }; } to table "
       "t;"},
      // Integers for a double get their '.'; the server's own date forms pass; Cyrillic
      // goes in code page 1251 (866 with --values-866); a line end stays inside the counted
      // string.
      {R"({"s": "Мир\n", "n": 18446744073709551615, "d": 12, "day": "01.03.2020",
           "at": "01.03.2020 10:00", "hm": "23:59:59"})",
       "add document { field s = #4#\xCC\xE8\xF0\n#; field n = #20#18446744073709551615#; "
       "field d = #4#12.0#; field day = #10#01.03.2020#; field at = #16#01.03.2020 10:00#; "
       "field hm = #8#23:59:59#; } to table t;"},
      {R"({"s": "Мир", "n": 1, "d": null, "day": null, "at": null, "hm": null})",
       "add document { field s = #3#\x8C\xA8\xE0#; field n = #1#1#; field d = null; "
       "field day = null; field at = null; field hm = null; } to table t;",
       ValueCodePage::VALUES_866},
      {R"({"s": "", "n": 0, "d": 1e300, "day": null, "at": null, "hm": null})",
       "add document { field s = #0##; field n = #1#0#; field d = #8#1.0e+300#; field day = null; "
       "field at = null; field hm = null; } to table t;"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(addClauseFromJson(nlohmann::json::parse(row.json), structure(), row.values),
              row.clause)
        << row.json;
  }
}

// Each object that must be refused, with a part of the message naming the problem.
TEST(JsonTransferTest, ObjectsThatDoNotFitAreRefusedWithTheReason) {
  struct Row {
    std::string json;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"[1]", "not a JSON object"},
      {"{" + REQUIRED + R"(, "titel": 1})", "no field or group titel"},
      {R"({"s": "x", "d": 1.5})", "field n (int64): missing"},
      {R"({"s": "x", "n": 1})", ""},                // a nullable field left out is null
      {"{" + REQUIRED + R"(, "s": "again"})", ""},  // a repeated key: JSON keeps the last
      {R"({"s": "x", "S": "y", "n": 1, "d": null, "day": null, "at": null, "hm": null})",
       "given twice"},
      {R"({"s": null, "n": 1, "d": null, "day": null, "at": null, "hm": null})",
       "field s (text): null is not allowed"},
      {R"({"s": 5, "n": 1, "d": null, "day": null, "at": null, "hm": null})", "expected a string"},
      {R"({"s": "x", "n": "1", "d": null, "day": null, "at": null, "hm": null})",
       "expected an integer"},
      {R"({"s": "x", "n": 1.5, "d": null, "day": null, "at": null, "hm": null})",
       "expected an integer"},
      {R"({"s": "x", "n": 1, "d": "1.5", "day": null, "at": null, "hm": null})",
       "expected a number"},
      {R"({"s": "x", "n": 1, "d": null, "day": "2024-1-25", "at": null, "hm": null})",
       "expected a date"},
      {R"({"s": "x", "n": 1, "d": null, "day": null, "at": "2024-01-25", "hm": null})",
       "expected a date and time"},
      {R"({"s": "x", "n": 1, "d": null, "day": null, "at": null, "hm": "9:30"})",
       "expected a time"},
      {"{" + REQUIRED + R"(, "g": {"since": null}})", "group g, field room (text): missing"},
      {"{" + REQUIRED + R"(, "g": {"room": "A", "since": null, "x": 1}})",
       "group g has no field x"},
      {"{" + REQUIRED + R"(, "g": "A"})", "group g: expected an object"},
      {R"({"s": "Café", "n": 1, "d": null, "day": null, "at": null, "hm": null})",
       "the character 'é' at position 4 cannot be stored"},
  };
  for (const Row& row : rows) {
    const nlohmann::json object = nlohmann::json::parse(row.json);
    if (row.message.empty()) {
      EXPECT_NO_THROW(addClauseFromJson(object, structure(), ValueCodePage::VALUES_1251))
          << row.json;
      continue;
    }
    try {
      addClauseFromJson(object, structure(), ValueCodePage::VALUES_1251);
      ADD_FAILURE() << "accepted: " << row.json;
    } catch (const ClientError& error) {
      EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos)
          << row.json << " -> " << error.what();
    }
  }
}

TEST(JsonTransferTest, DocumentsBecomeJsonLinesThatImportBack) {
  const std::string answer =
      "OK\r\ndocument {\r\n"
      "   field s = #6#\"\xCC\xE8\xF0\r\n#;\r\n   field n = #4#1869#;\r\n   field d = #4#1.e5#;\r\n"
      "   field day = #10#01.03.2020#;\r\n   field at = #16#25.12.2024 09:30#;\r\n"
      "   field hm = null;\r\n"
      "   group g {\r\n      field room = #3#A-1#;\r\n      field since = null;\r\n   };\r\n"
      "};\r\n"
      "document {\r\n   field s = #0##;\r\n   field n = #20#-9223372036854775808#;\r\n"
      "   field d = null;\r\n   field day = null;\r\n   field at = null;\r\n   field hm = "
      "#5#09:30#;\r\n"
      "};\r\n";
  AnswerScanner scanner(answer);
  scanner.expect("OK");
  const std::string first =
      jsonLineFromDocument(3, readDocument(scanner), structure(), ValueCodePage::VALUES_1251);
  const std::string second =
      jsonLineFromDocument(4, readDocument(scanner), structure(), ValueCodePage::VALUES_1251);
  EXPECT_EQ(first, R"({"@id":3,"s":"\"Мир\r\n","n":1869,"d":100000.0,"day":"2020-03-01",)"
                   R"("at":"2024-12-25T09:30","hm":null,"g":{"room":"A-1","since":null}})");
  EXPECT_EQ(second, R"({"@id":4,"s":"","n":-9223372036854775808,"d":null,"day":null,)"
                    R"("at":null,"hm":"09:30"})");
  EXPECT_EQ(scanner.next().kind, AnswerToken::END);
  // What is exported imports back to the same values.
  EXPECT_EQ(
      addClauseFromJson(nlohmann::json::parse(second), structure(), ValueCodePage::VALUES_1251),
      "add document { field s = #0##; field n = #20#-9223372036854775808#; field d = null; "
      "field day = null; field at = null; field hm = #5#09:30#; } to table t;");
}

TEST(JsonTransferTest, MetaRecordsTellLiveFromDeletedAndReplaced) {
  AnswerScanner scanner(
      "OK\r\ndocument {\r\n   usercreated = #5#admin#;\r\n   replaced = #4#none#;\r\n};\r\n"
      "document {\r\n   usercreated = #1#a#;\r\n   replaced = #4#none#;\r\n"
      "   userdeleted = #1#a#;\r\n   deletiontime = #1#t#;\r\n};\r\n"
      "document {\r\n   replaced = #4#none#;\r\n   replacedby = #1#3#;\r\n};\r\n");
  scanner.expect("OK");
  EXPECT_TRUE(readMetaIsLive(scanner));
  EXPECT_FALSE(readMetaIsLive(scanner));
  EXPECT_FALSE(readMetaIsLive(scanner));
}

}  // namespace
}  // namespace dovrel::client
