// select, get index and optimize index over the wire: the answer bytes (count lines, the
// binary document numbers, key listings), precedence and parentheses, the search modes
// with their privileges, ordering, and the refusals with their positions.
#include "SearchE2ETest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dovrel::e2e {
namespace {

std::string littleEndian(std::vector<uint32_t> numbers) {
  std::string bytes;
  for (const uint32_t number : numbers) {
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(number >> shift);
  }
  return bytes;
}

class SearchCommandsE2ETest : public SearchE2ETest {
 protected:
  void SetUp() override {
    SearchE2ETest::SetUp();
    if (IsSkipped()) return;
    startWithItems();
    ASSERT_EQ(add({
                  {"Red apple", "5", "1.50", "01.02.2003", "01.02.2003 10:00:00", "fruit"},
                  {"Green apple", "-7", "-2.25", "15.06.1999", "15.06.1999 23:59:59", "fruit"},
                  {"Red car", "100", "0.00", "null", "null", "machine"},
                  {"null", "null", "null", "31.12.2003", "31.12.2003 00:00:01", "null"},
              }),
              (std::vector<uint32_t>{0, 1, 2, 3}));
  }

  // A refusal of a one-line command: "ERROR", the position on line 3 and the message.
  std::string refused(const std::string& user, const std::string& command) {
    return cp866ToUtf8(raw(user, command));
  }
};

TEST_F(SearchCommandsE2ETest, AnswerHasCountLineThenLittleEndianNumbers) {
  EXPECT_EQ(raw("s", "select from items where items.name.w = 'nothing';"), "OK\r\n0\r\n");
  const std::string threeHits =
      "select from items where items.name.w = 'apple' or items.name.w = 'car'";
  EXPECT_EQ(raw("s", threeHits + ";"), "OK\r\n3\r\n" + littleEndian({0, 1, 2}));
  EXPECT_EQ(raw("s", threeHits + " limit 2;"), "OK\r\n2 of 3\r\n" + littleEndian({0, 1}));
  EXPECT_EQ(raw("s", threeHits + " offset 5;"), "OK\r\n0 of 3\r\n");
  EXPECT_EQ(raw("s", threeHits + " limit 1 offset 1;"), "OK\r\n1 of 3\r\n" + littleEndian({1}));
  EXPECT_EQ(raw("s", threeHits + " limit 0;"), "OK\r\n0 of 3\r\n");
  EXPECT_EQ(raw("s", threeHits + " offset 0;"), "OK\r\n3 of 3\r\n" + littleEndian({0, 1, 2}));
  // Keywords are names, so their case does not matter.
  EXPECT_EQ(raw("s", "SELECT FROM Items WHERE Name.W = 'car' LIMIT 5;"),
            "OK\r\n1 of 1\r\n" + littleEndian({2}));
}

TEST_F(SearchCommandsE2ETest, NumbersAboveOneByteAreLittleEndian) {
  std::vector<Item> bulk(300, Item{"bulk"});
  const std::vector<uint32_t> numbers = add(bulk);
  ASSERT_EQ(numbers.back(), 303u);
  EXPECT_EQ(raw("s", "select from items where items.name.h = 'BULK' limit 2 offset 298;"),
            "OK\r\n2 of 300\r\n" + std::string("\x2E\x01\0\0\x2F\x01\0\0", 8));
}

TEST_F(SearchCommandsE2ETest, AndBindsTighterThanOrAndParenthesesOverride) {
  // A = red, B = car, C = n is -7 (document 1).
  // The table's name may be left out before the member.
  EXPECT_EQ(found("name.w = 'red' and items.name.w = 'car' or n.h = '-7'"),
            (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(found("items.name.w = 'red' and items.name.w = 'car' or items.n.h = '-7'"),
            (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(found("items.n.h = '-7' or items.name.w = 'red' and items.name.w = 'car'"),
            (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(found("items.name.w = 'red' and (items.name.w = 'car' or items.n.h = '-7')"),
            (std::vector<uint32_t>{2}));
  EXPECT_EQ(found("((items.name.w = 'red')) and (((items.name.w = 'apple')))"),
            (std::vector<uint32_t>{0}));
  EXPECT_EQ(
      found("(items.name.w = 'red' or items.name.w = 'green') and (items.g.tag.w = 'fruit' and "
            "items.x.h < '0.00' or items.d.h = '31.12.2003')"),
      (std::vector<uint32_t>{1}));
}

TEST_F(SearchCommandsE2ETest, OperatorsOfEachKind) {
  EXPECT_EQ(found("items.n.h >= '5'"), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(found("items.n.h > '5'"), (std::vector<uint32_t>{2}));
  EXPECT_EQ(found("items.n.h <= '5'"), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(found("items.n.h < '5'"), (std::vector<uint32_t>{1}));
  // Null fields have no key, so no comparison finds them.
  EXPECT_EQ(found("items.n.h <> '5'"), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(found("items.n.h range '-7' to '5'"), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(found("items.x.h range '-3.0' to '0.'"), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(found("items.d.h > '01.01.2000'"), (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(found("items.t.h < '01.02.2003 10:00:00'"), (std::vector<uint32_t>{1}));
  EXPECT_EQ(found("items.name.h prefix 'red'"), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(found("items.name.h = 'RED APPLE'"), (std::vector<uint32_t>{0}));
  EXPECT_EQ(found("items.name.a = 'red-apple'"), (std::vector<uint32_t>{0}));
  EXPECT_EQ(found("items.name.w prefix 'ap'"), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(found("items.name.p = 'gre'"), (std::vector<uint32_t>{1}));
  // A query value is one word: a words index never finds two.
  EXPECT_EQ(found("items.name.w = 'red apple'"), (std::vector<uint32_t>{}));
}

TEST_F(SearchCommandsE2ETest, ModesSeeLiveRemovedOrAllDocuments) {
  ASSERT_EQ(raw("all", "add " + itemDocument({"Red apple v2"}) + " to table items replacing 0;"),
            "OK\r\ndocument 4\r\n");
  ASSERT_EQ(raw("all", "delete document 1 from table items;"), "OK\r\n");
  const std::string where = " from items where items.name.w = 'apple';";
  EXPECT_EQ(search("s", "select" + where).documents, (std::vector<uint32_t>{4}));
  EXPECT_EQ(search("sh", "select only updated" + where).documents, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(search("sh", "select including updated" + where).documents,
            (std::vector<uint32_t>{0, 1, 4}));
  EXPECT_EQ(refused("s", "select only updated" + where),
            error(3, 37, "у пользователя недостаточно прав для поиска по удалённым документам"));
  EXPECT_EQ(refused("s", "select including updated" + where),
            error(3, 42, "у пользователя недостаточно прав для поиска по удалённым документам"));

  // The same after a commit and a restart.
  ASSERT_EQ(raw("all", "commit;"), "OK\r\n");
  restart();
  EXPECT_EQ(search("sh", "select only updated" + where).documents, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(search("s", "select" + where).documents, (std::vector<uint32_t>{4}));
  EXPECT_EQ(raw("sh", "get index including updated items.name.w from 0 length 10;"),
            "OK\r\n#5#APPLE#\r\n#3#CAR#\r\n#5#GREEN#\r\n#3#RED#\r\n#2#V2#\r\n");
  EXPECT_EQ(raw("sh", "get index only updated items.name.w from 0 length 10;"),
            "OK\r\n#5#APPLE#\r\n#5#GREEN#\r\n#3#RED#\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from 0 length 10;"),
            "OK\r\n#5#APPLE#\r\n#3#CAR#\r\n#3#RED#\r\n#2#V2#\r\n");
}

TEST_F(SearchCommandsE2ETest, OrderPutsDocumentsWithoutKeyFirstAndDescReverses) {
  const std::string all =
      "select from items where items.d.h > '01.01.1900' or items.name.w = 'car'";
  EXPECT_EQ(search("s", all + " order by items.n.h;").documents,
            (std::vector<uint32_t>{3, 1, 0, 2}));
  EXPECT_EQ(search("s", all + " order by items.n.h asc;").documents,
            (std::vector<uint32_t>{3, 1, 0, 2}));
  EXPECT_EQ(search("s", all + " order by items.n.h desc;").documents,
            (std::vector<uint32_t>{2, 0, 1, 3}));
  EXPECT_EQ(search("s", all + " order by items.d.h desc limit 2 offset 1;").documents,
            (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(search("s", all + " order by items.g.tag.w;").documents,
            (std::vector<uint32_t>{3, 0, 1, 2}));
  // "Red apple" has two keys in the words index: no order by it exists, whatever is found.
  const std::string conflict =
      "ERROR\r\nОшибка в строке 3 столбце 67: Сортировка невозможна, поскольку есть "
      "документы, дающие различные ключи сортировки";
  EXPECT_EQ(refused("s", "select from items where items.name.w = 'car' order by items.name.w;"),
            conflict);
  // Before limit and offset are read (at limit), so even a malformed slice is refused for it.
  EXPECT_EQ(refused("s",
                    "select from items where items.name.w = 'car' order by items.name.w "
                    "limit x;"),
            error(3, 73,
                  "Сортировка невозможна, поскольку есть документы, дающие различные ключи "
                  "сортировки"));
  // The order of an index follows its changes: a new key in between, and a document gone.
  EXPECT_EQ(raw("s", all + " order by items.n.h desc limit 2 offset 1;"),
            "OK\r\n2 of 4\r\n" + littleEndian({0, 1}));
  ASSERT_EQ(raw("all", "add " + itemDocument({"Blue car", "6"}) + " to table items;"),
            "OK\r\ndocument 4\r\n");
  EXPECT_EQ(raw("s", all + " order by items.n.h desc limit 2 offset 1;"),
            "OK\r\n2 of 5\r\n" + littleEndian({4, 0}));
  ASSERT_EQ(raw("all", "delete document 0 from table items;"), "OK\r\n");
  EXPECT_EQ(raw("s", all + " order by items.n.h desc limit 2 offset 1;"),
            "OK\r\n2 of 4\r\n" + littleEndian({4, 1}));
  EXPECT_EQ(raw("sh",
                "select including updated from items where items.n.h > '0' order by "
                "items.n.h limit 0;"),
            "OK\r\n0 of 3\r\n");
}

TEST_F(SearchCommandsE2ETest, KeyListingsAndCounts) {
  EXPECT_EQ(raw("s", "get index items.name.w length;"), "OK\r\n4");
  EXPECT_EQ(raw("s", "get index items.n.h length;"), "OK\r\n3");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'b' length 2;"),
            "OK\r\n#3#CAR#\r\n#5#GREEN#\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'car' reverse length 5;"),
            "OK\r\n#3#CAR#\r\n#5#APPLE#\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'cat' reverse length 1;"),
            "OK\r\n#3#CAR#\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'zzz' reverse length 1;"),
            "OK\r\n#3#RED#\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'zzz' length 3;"), "OK\r\n");
  EXPECT_EQ(raw("s", "get index items.name.w from key 'a' reverse length 3;"), "OK\r\n");
  EXPECT_EQ(raw("s", "get index items.n.h from 0 length 10;"),
            "OK\r\n#2#-7#\r\n#1#5#\r\n#3#100#\r\n");
  EXPECT_EQ(raw("s", "get index items.n.h from key '6' reverse length 10;"),
            "OK\r\n#1#5#\r\n#2#-7#\r\n");
  EXPECT_EQ(raw("s", "get index items.d.h from 0 length 2;"),
            "OK\r\n#10#15.06.1999#\r\n#10#01.02.2003#\r\n");
  EXPECT_EQ(raw("s", "get index items.t.h from key '01.01.2003 00:00' length 1;"),
            "OK\r\n#19#01.02.2003 10:00:00#\r\n");
  EXPECT_EQ(raw("s", "get index items.g.tag.w from 0 length 1;"), "OK\r\n#5#FRUIT#\r\n");
}

TEST_F(SearchCommandsE2ETest, OptimizeAnswersCompleteOrDuring) {
  EXPECT_EQ(raw("all", "optimize index items.name.w;"), "OK\r\ncomplete");
  EXPECT_EQ(raw("maker", "optimize index items.g.tag.w;"), "OK\r\ncomplete");
  EXPECT_EQ(refused("s", "optimize index items.name.w;"),
            error(3, 28, "у пользователя недостаточно прав для оптимизации индекса"));
}

TEST_F(SearchCommandsE2ETest, PrivilegesAreCheckedBeforeTheRest) {
  const std::string search = "у пользователя недостаточно прав для поиска";
  // Right after the table name, so even a malformed rest is refused for the privilege.
  EXPECT_EQ(refused("guest", "select from items where ?"), error(3, 24, search));
  EXPECT_EQ(refused("st", "select from items where items.name.w = 'a';"), error(3, 24, search));
  EXPECT_EQ(refused("guest", "get index items.name.w length;"),
            error(3, 30, "у пользователя недостаточно прав для получения ключей индекса"));
  EXPECT_EQ(
      refused("s", "get index only updated items.name.w length;"),
      error(3, 43, "у пользователя недостаточно прав для получения удалённых ключей индекса"));
  EXPECT_EQ(raw("sh", "get index only updated items.name.w length;"), "OK\r\n0");
}

TEST_F(SearchCommandsE2ETest, RefusalsOfMembersValuesAndSyntax) {
  struct Case {
    std::string command;
    int column;
    std::string message;
  };
  const std::string select = "select from items where ";
  const std::vector<Case> cases = {
      {select + "zz.w = 'a';", 28, "имя zz не принадлежит ни полю, ни группе таблицы items"},
      {select + "items.zz.w = 'a';", 34, "имя zz не принадлежит ни полю, ни группе таблицы items"},
      {select + "books.name.w = 'a';", 31,
       "имя books не принадлежит ни полю, ни группе таблицы items"},
      {select + "items.name.w = 'a' order by items.zz.h;", 62, "имя zz в таблице items не найдено"},
      {select + "g.zz.w = 'a';", 30, "имя zz не принадлежит полю группы items.g"},
      {select + "name.zz = 'a';", 34, "имя zz не принадлежит индексу поля items.name"},
      {select + "g = 'a';", 28, "ожидается '.' получено '='"},
      {select + "'a' = 'a';", 28, "ожидается имя поля или группы получено <строка>"},
      {select + "n.h = 'abc';", 36, "значение не соответствует типу поля items.n"},
      {select + "n.h range '1' to 'z';", 45, "значение не соответствует типу поля items.n"},
      {select + "n.h = 5;", 32, "ожидается строка получено <число>"},
      {select + "name.w < 'a';", 37,
       "операция '<' применима только к индексам whole и whole-alphanum"},
      {select + "name.p range 'a' to 'b';", 48,
       "операция range применима только к индексам whole и whole-alphanum"},
      {select + "n.h prefix '1';", 39,
       "операция prefix применима только к индексам whole, whole-alphanum, words, "
       "words-substr, words-prefix полей типа text"},
      {select + "name.w like 'a';", 36,
       "ожидается =, <, <=, >, >=, <>, prefix или range получено like"},
      {select + "name.w = 'a' order by zz.h;", 50, "имя zz в таблице items не найдено"},
      {select + "name.w = 'a' order name.h;", 48, "ожидается by получено name"},
      {select + "name.w = 'a' offset 1 limit 2;", 52, "ожидается ';' получено <имя>"},
      {select + "(name.w = 'a';", 38, "ожидается ')' получено ';'"},
      {select + "name.w = 'a'", 36, "ожидается ';' получено <конец текста>"},
      {"select from nosuch where name.w = 'a';", 25, "таблица nosuch не найдена"},
      {"select items where name.w = 'a';", 13, "ожидается from получено items"},
      {"select from items name.w = 'a';", 23, "ожидается where получено name"},
      {"select only from items where name.w = 'a';", 17, "ожидается updated получено from"},
      {"get index items.zz.h length;", 20, "имя zz в таблице items не найдено"},
      {"get index items.name length;", 28, "ожидается '.' получено <имя>"},
      {"get index items.name.w;", 23, "ожидается length или from"},
      {"get index items.name.w count;", 29, "ожидается length или from"},
      {"get index items.name.w from 1 length 2;", 37, "после from допустимо только число 0"},
      {"get index items.name.w from 0 length 0;", 39,
       "после length допустимо только число больше 0"},
      {"get index items.name.w from key 'a' length 0;", 45,
       "после length допустимо только число больше 0"},
      {"get index items.n.h from key 'a' length 2;", 42,
       "значение a не соответствует типу поля/индекса items.n.h"},
      {"optimize index items.name.zz;", 29, "имя zz не принадлежит индексу поля items.name"},
      {"optimize items.name.w;", 15, "ожидается index получено items"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refused("s", c.command), error(3, c.column, c.message)) << c.command;
  }
  // No refusal left an index search open: the indexes still take changes and commit.
  EXPECT_EQ(raw("all", "add " + itemDocument({"after"}) + " to table items;"),
            "OK\r\ndocument 4\r\n");
  EXPECT_EQ(raw("all", "commit;"), "OK\r\n");
  EXPECT_EQ(found("name.w = 'after'"), (std::vector<uint32_t>{4}));
}

TEST_F(SearchCommandsE2ETest, ParenthesesNestAtMost256Deep) {
  const auto nested = [](int depth) {
    return "select from items where " + std::string(depth, '(') + "items.name.w = 'car'" +
           std::string(depth, ')') + ";";
  };
  EXPECT_EQ(search("s", nested(256)).documents, (std::vector<uint32_t>{2}));
  EXPECT_EQ(refused("s", nested(257)), error(3, 282, "слишком глубокая вложенность скобок"));
  // Far deeper than any stack would allow if the depth were not bounded.
  EXPECT_EQ(refused("s", nested(200000)), error(3, 282, "слишком глубокая вложенность скобок"));
  // The server is still there.
  EXPECT_EQ(search("s", nested(1)).documents, (std::vector<uint32_t>{2}));
}

}  // namespace
}  // namespace dovrel::e2e
