// Documents: the document text read with every message and written canonically, the check
// against a table's structure in its order, and projection by a name set.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "tables/DocumentField.h"
#include "tables/DocumentGroup.h"
#include "tables/NameSet.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

TEST(DocumentTextTest, WritesTheCanonicalText) {
  const std::string cyrillic = "\xE5\xEB\xEA\xE0";
  std::shared_ptr<Document> document = readDocument(
      "DOCUMENT { Field b = null; field a = ''; group G { field y = \"x y\"; field x = #3#a#b#; };"
      " field c = #4#" +
      cyrillic + "#; }");
  EXPECT_EQ(documentText(*document),
            "document {\r\n"
            "   field b = null;\r\n"
            "   field a = #0##;\r\n"
            "   group g {\r\n"
            "      field y = #3#x y#;\r\n"
            "      field x = #3#a#b#;\r\n"
            "   };\r\n"
            "   field c = #4#" +
                cyrillic +
                "#;\r\n"
                "};\r\n");
  // The stored form reads back into the same text.
  EXPECT_EQ(documentText(*readDocument(documentText(*document))), documentText(*document));
}

TEST(DocumentTextTest, ReadingStopsAfterTheClosingBrace) {
  Scanner scanner{TextView("document { field a = 'v'; }; to")};
  scanner.next();
  std::shared_ptr<Document> document = Document::read(scanner);
  EXPECT_EQ(scanner.kind(), TOKEN_SEMICOLON);
  EXPECT_EQ(document->findField("a")->value().toString(), "v");
  EXPECT_EQ(readDocument("document { }")->members().size(), 0u);
}

TEST(DocumentTextTest, RefusesRepeatedNamesWithTheirMessages) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"field a = '1'; field A = '2';",
       cat("повторное использование имени поля "_cp866, "a", " в одном документе"_cp866)},
      {"group a { }; field a = '2';", cat("совпадение имени поля и группы "_cp866, "a")},
      {"field a = '1'; group a { };", cat("совпадение имени поля и группы "_cp866, "a")},
      {"group g { field x = '1'; }; group g { field y = '1'; };",
       cat("повторное использование имени группы "_cp866, "g")},
      {"group g { field x = '1'; field x = null; };",
       cat("повторное использование имени "_cp866, "x", " в одной группе"_cp866)},
  };
  for (const auto& [body, message] : cases) {
    SCOPED_TRACE(body);
    EXPECT_EQ(semanticError([&] { readDocument(cat("document { ", body, " }")); }), message);
  }
}

TEST(DocumentTextTest, SyntaxErrorsComeFromTheScanner) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"document { field a = 5; }", "ожидается строка получено <число>"_cp866},
      {"document { field a 'x'; }", "ожидается '=' получено <строка>"_cp866},
      {"document { field a = 'x' }", "ожидается ';' получено '}'"_cp866},
      {"document { group g { group h { }; }; }", "ожидается '}' получено <имя>"_cp866},
      {"document { group g alias 'x' { }; }", "ожидается '{' получено <имя>"_cp866},
      {"document field a = 'x'; }", "ожидается '{' получено <имя>"_cp866},
      {"document { nul a = 'x'; }", "ожидается '}' получено <имя>"_cp866},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    const std::string error = textError([&] { readDocument(text); });
    EXPECT_NE(error.find(message), std::string::npos) << cp866ToUtf8(error);
  }
}

// --- Validation ----------------------------------------------------------------------------

class DocumentValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = readTable(
        "table t alias '' {"
        " field a alias '' : text { };"
        " field n alias '' : int64 null { };"
        " group g alias '' { field x alias '' : date { }; field y alias '' : text null { }; };"
        " group h alias '' { field z alias '' : text { }; };"
        "};",
        "");
  }
  std::string validate(std::string_view body) {
    return semanticError([&] { readDocument(cat("document { ", body, " }"))->validate(*table_); });
  }

  std::shared_ptr<Table> table_;
};

TEST_F(DocumentValidationTest, AcceptsCompleteDocuments) {
  const std::string_view accepted[] = {
      "field a = ''; field n = '-5';",
      // null where allowed, groups left out, group fields in another order
      "field n = null; field a = 'x'; group g { field y = null; field x = '01.02.2003'; };",
      "group h { field z = ''; }; field a = 'x'; field n = '0';",
  };
  for (std::string_view body : accepted) {
    EXPECT_EQ(validate(body), "<no SemanticError>") << body;
  }
}

TEST_F(DocumentValidationTest, RefusesWithTheMessageOfTheFirstFailingCheck) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"field a = ''; field q = '1'; field n = '1';",
       cat("в документе присутствует, а в таблице отсутствует поле верхнего уровня "_cp866, "q")},
      {"field a = ''; field g = '1'; field n = '1';",
       cat("имя "_cp866, "g", " в документе принадлежит полю, а в таблице группе"_cp866)},
      {"field a = ''; group q { }; field n = '1';",
       cat("в документе присутствует, а в таблице отсутствует группа "_cp866, "q")},
      {"group a { }; field n = '1';",
       cat("имя "_cp866, "a", " в документе принадлежит группе, а в таблице полю"_cp866)},
      {"field a = ''; field n = '1'; group g { field x = '01.01.2001'; field q = ''; };",
       cat("в документе присутствует, а в описании таблицы отсутствует поле "_cp866, "g.q")},
      {"field a = ''; field n = '1'; group g { field y = ''; };",
       cat("структура документа не соответствует структуре таблицы - отсутствует поле "_cp866,
           "g.x")},
      // A field that allows null must still be written.
      {"field a = '';",
       cat("структура документа не соответствует структуре таблицы - отсутствует поле "_cp866,
           "n")},
      {"field a = null; field n = '1';",
       cat("поле "_cp866, "a", " не может иметь значение null"_cp866)},
      {"field a = ''; field n = '1'; group g { field x = null; field y = ''; };",
       cat("поле "_cp866, "x", " не может иметь значение null"_cp866)},
      {"field a = ''; field n = '1.5';",
       cat("значение "_cp866, "1.5", " поля "_cp866, "n не соответствует типу поля"_cp866)},
      // Members are checked in text order, the missing fields last.
      {"field n = 'x'; field q = '';",
       cat("значение "_cp866, "x", " поля "_cp866, "n не соответствует типу поля"_cp866)},
      {"group g { field x = 'bad'; };",
       cat("значение "_cp866, "bad", " поля "_cp866, "x не соответствует типу поля"_cp866)},
  };
  for (const auto& [body, message] : cases) {
    SCOPED_TRACE(body);
    EXPECT_EQ(validate(body), message);
  }
}

TEST_F(DocumentValidationTest, AFailedCheckDoesNotSpoilTheNext) {
  EXPECT_NE(validate("field a = '';"), "<no SemanticError>");
  EXPECT_EQ(validate("field a = ''; field n = null;"), "<no SemanticError>");
}

// --- Projection ----------------------------------------------------------------------------

TEST(DocumentProjectionTest, KeepsNamedFieldsWholeGroupsAndNamedGroupFieldsInOrder) {
  std::shared_ptr<Document> document = readDocument(
      "document { field a = '1'; group g { field x = '2'; field y = '3'; }; field b = null;"
      " group h { field z = '4'; field w = '5'; }; field c = '6'; }");
  NameSet names;
  names.addName("c");
  names.addGroupField("h", "w");
  names.addName("g");
  names.addName("a");
  names.addName("nothing");
  names.addGroupField("nothing", "x");
  EXPECT_EQ(documentText(*document->project(names)),
            "document {\r\n"
            "   field a = #1#1#;\r\n"
            "   group g {\r\n"
            "      field x = #1#2#;\r\n"
            "      field y = #1#3#;\r\n"
            "   };\r\n"
            "   group h {\r\n"
            "      field w = #1#5#;\r\n"
            "   };\r\n"
            "   field c = #1#6#;\r\n"
            "};\r\n");
  // The source is untouched.
  EXPECT_EQ(document->findGroup("h")->fields().size(), 2u);
  EXPECT_EQ(documentText(*document->project(NameSet())), "document {\r\n};\r\n");
}

TEST(DocumentProjectionTest, NameSetTellsGroupsFromTheirFields) {
  NameSet names;
  names.addGroupField("g", "x");
  names.addName("f");
  EXPECT_TRUE(names.containsGroup("g"));
  EXPECT_TRUE(names.containsGroupField("g", "x"));
  EXPECT_FALSE(names.containsGroupField("g", "y"));
  EXPECT_FALSE(names.containsName("g"));
  EXPECT_FALSE(names.containsGroup("f"));
  EXPECT_FALSE(names.containsGroup("x"));
}

}  // namespace
}  // namespace dovrel::tables_test
