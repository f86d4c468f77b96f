// Index declarations of the structure text: reading, refusals and writing back.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "keys/IndexDeclaration.h"

namespace dovrel::index {
namespace {

IndexDeclaration readOne(std::string_view text, FieldType type = FieldType::TEXT) {
  Scanner scanner{TextView(text)};
  scanner.next();
  IndexDeclaration declaration = IndexDeclaration::read(scanner, "doc.title", type);
  EXPECT_EQ(scanner.kind(), TOKEN_RBRACE);  // exactly the declaration was consumed
  return declaration;
}

TEST(IndexDeclarationTest, ReadsNameKindAndFullName) {
  IndexDeclaration d = readOne("INDEX ByWord #20#words mult=3 size=16# ; }");
  EXPECT_EQ(d.name(), "byword");
  EXPECT_EQ(d.fullName(), "doc.title.byword");
  EXPECT_EQ(d.spec().baseKind(), BaseKind::WORDS);
  EXPECT_EQ(d.spec().mergeMultiplier(), 3u);
  EXPECT_EQ(d.spec().clusterLength(), 65536u);
  EXPECT_TRUE(d.compatible());
  EXPECT_EQ(d.filePath("/srv/DATA/"), "/srv/DATA/doc.title.byword.index");
  EXPECT_FALSE(readOne("index w 'words' ; }", FieldType::INT64).compatible());
}

TEST(IndexDeclarationTest, WritesAndReadsBackTheSameDeclaration) {
  for (std::string_view text :
       {"index w \"words\";}", "index n 'whole mult=5 size=24';}", "index near 'words-near9';}"}) {
    IndexDeclaration d = readOne(text);
    TextBuffer out;
    d.write(out, "      ");
    IndexDeclaration again = readOne(out.toString() + "}");
    EXPECT_EQ(again.name(), d.name());
    EXPECT_EQ(again.spec(), d.spec());
  }
  TextBuffer out;
  readOne("index n 'whole mult=5 size=24';}").write(out, "   ");
  EXPECT_EQ(out.toString(), "   index n #20#whole size=24 mult=5#;\r\n");
}

TEST(IndexDeclarationTest, RefusesBadDeclarations) {
  try {
    readOne("index i 'word mult=7';}");
    FAIL() << "accepted";
  } catch (const SemanticError& error) {
    EXPECT_EQ(error.message(), std::string("word mult=7 - недопустимый вид индекса doc.title.i: "
                                           "недопустимая базовая часть word"_cp866));
  }
  struct Case {
    std::string_view text;
    std::string_view message;
  } syntax[] = {
      {"index 'words';}", "ожидается имя индекса получено <строка>"_cp866},
      {"index i words;}", "ожидается строка получено <имя>"_cp866},
      {"index i 'words' }", "ожидается ';' получено '}'"_cp866},
  };
  for (const Case& c : syntax) {
    try {
      readOne(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const TextError& error) {
      EXPECT_NE(error.text().find(c.message), std::string::npos) << cp866ToUtf8(error.text());
    }
  }
}

}  // namespace
}  // namespace dovrel::index
