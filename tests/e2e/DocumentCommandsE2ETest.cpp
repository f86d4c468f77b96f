// The document commands over the wire: add with several clauses and replacing, delete with
// and without if actual, the forms of get document with their privileges (history for
// deleted documents), and everything durable after a commit and a restart.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "TableE2ETest.h"

namespace dovrel::e2e {
namespace {

// Meta records carry the time of the change; the tests compare everything else.
std::string maskTimes(const std::string& text) {
  static const std::regex time("#19#[0-9]{2}\\.[0-9]{2}\\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}#");
  return std::regex_replace(text, time, "TIME");
}

std::string created(const std::string& user, const std::string& replaced) {
  return "document {\r\n   usercreated = #" + std::to_string(user.size()) + "#" + user +
         "#;\r\n   creationtime = TIME;\r\n   replaced = " + replaced + ";\r\n";
}

class DocumentCommandsE2ETest : public TableE2ETest {
 protected:
  void SetUp() override {
    TableE2ETest::SetUp();
    if (IsSkipped()) return;
    startWithBooks();
  }
  std::string length() { return ask("s", "get table books length;"); }
  std::string add(const std::string& user, const std::string& title, const std::string& tail = "") {
    return ask(user, "add " + book(title) + " to table books" + tail + ";");
  }
};

TEST_F(DocumentCommandsE2ETest, AddStoresCanonicalTextAndAnswersEachClause) {
  EXPECT_EQ(add("i", "Anna"), "OK\r\ndocument 0\r\n");
  EXPECT_EQ(ask("i", "add " + book("B", "'1869'") + " to table books; ADD " + book("C") +
                         " to table BOOKS;"),
            "OK\r\ndocument 1\r\nOK\r\ndocument 2\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books;"), "OK\r\n" + bookText("Anna"));
  EXPECT_EQ(ask("s", "get document 1 from table books; document 2 from table books;"),
            "OK\r\n" + bookText("B", "'1869'") + bookText("C"));
  EXPECT_EQ(length(), "OK\r\n3\r\n3\r\n");

  EXPECT_EQ(add("s", "x"),
            error(3, 133, "у пользователя недостаточно прав для добавления документа"));
  EXPECT_EQ(add("guest", "x"),
            error(3, 133, "у пользователя недостаточно прав для добавления документа"));
  EXPECT_EQ(add("u", "x"),
            error(3, 133, "у пользователя недостаточно прав для добавления документа"));
  EXPECT_EQ(add("i", "x", " replacing 0"),
            error(3, 145, "у пользователя недостаточно прав для замены документа"));
  EXPECT_EQ(ask("i", "add document { field title = 'x'; } to table books;"),
            error(3, 51,
                  "структура документа не соответствует структуре таблицы - отсутствует поле "
                  "year"));
  EXPECT_EQ(ask("i", "add " + book("x", "'soon'") + " to table books;"),
            error(3, 135, "значение soon поля year не соответствует типу поля"));
  EXPECT_EQ(ask("i", "add " + book("x") + " to table nosuch;"),
            error(3, 134, "таблица nosuch не найдена"));
  EXPECT_EQ(length(), "OK\r\n3\r\n3\r\n");
}

TEST_F(DocumentCommandsE2ETest, LaterClauseFailureKeepsEarlierClauses) {
  EXPECT_EQ(ask("all", "add " + book("one") + " to table books; add " + book("two") +
                           " to table books replacing 7;"),
            error(3, 283, "документ номер 7 отсутствует в таблице books"));
  EXPECT_EQ(length(), "OK\r\n1\r\n1\r\n");
  EXPECT_EQ(ask("u", "delete document 0 from table books; document 0 from table books;"),
            error(3, 64, "документ 0 уже удалён/заменён"));
  EXPECT_EQ(length(), "OK\r\n0\r\n1\r\n");
}

// A second command in the request is refused where it begins; the clauses of add before the
// clause it follows are stored, that clause is not.
TEST_F(DocumentCommandsE2ETest, TextAfterTheCommandIsRefused) {
  const std::string end = "ожидается конец запроса получено ";
  ASSERT_EQ(add("i", "zero"), "OK\r\ndocument 0\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books; get document 0 from table books;"),
            error(3, 37, end + "get"));
  const std::string twoAdds =
      "add " + book("one") + " to table books; add " + book("two") + " to table books;";
  EXPECT_EQ(ask("i", twoAdds + " get table books length;"),
            error(3, static_cast<int>(twoAdds.size()) + 5, end + "get"));
  EXPECT_EQ(length(), "OK\r\n2\r\n2\r\n");
}

TEST_F(DocumentCommandsE2ETest, ClauseWithoutSemicolonStoresNothing) {
  ASSERT_EQ(add("i", "zero"), "OK\r\ndocument 0\r\n");
  EXPECT_EQ(ask("i", "add " + book("one") + " to table books"),
            error(3, 134, "ожидается ';' получено <конец текста>"));
  EXPECT_EQ(ask("all", "add " + book("one") + " to table books replacing 0 add"),
            error(3, 150, "ожидается ';' получено <имя>"));
  EXPECT_EQ(length(), "OK\r\n1\r\n1\r\n");
}

TEST_F(DocumentCommandsE2ETest, ReplaceChainsRecordBothSidesInMeta) {
  ASSERT_EQ(add("i", "v0"), "OK\r\ndocument 0\r\n");
  EXPECT_EQ(add("u", "v1", " replacing 0"), "OK\r\ndocument 1\r\n");
  EXPECT_EQ(add("u", "v2", " replacing 1"), "OK\r\ndocument 2\r\n");
  EXPECT_EQ(add("u", "again", " replacing 1"), error(3, 149, "документ 1 уже удалён/заменён"));
  EXPECT_EQ(length(), "OK\r\n1\r\n3\r\n");

  EXPECT_EQ(maskTimes(ask("mh", "get document 0 from table books meta;")),
            "OK\r\n" + created("i", "#4#none#") + "   replacedby = #1#1#;\r\n};\r\n");
  EXPECT_EQ(maskTimes(ask("mh", "get document 1 from table books meta;")),
            "OK\r\n" + created("u", "#1#0#") + "   replacedby = #1#2#;\r\n};\r\n");
  EXPECT_EQ(maskTimes(ask("m", "get document 2 from table books meta;")),
            "OK\r\n" + created("u", "#1#1#") + "};\r\n");
  EXPECT_EQ(ask("sh", "get document 0 from table books;"), "OK\r\n" + bookText("v0"));

  ASSERT_EQ(ask("u", "delete document 2 from table books;"), "OK\r\n");
  EXPECT_EQ(maskTimes(ask("mh", "get document 2 from table books meta;")),
            "OK\r\n" + created("u", "#1#1#") +
                "   userdeleted = #1#u#;\r\n   deletiontime = TIME;\r\n};\r\n");
  EXPECT_EQ(length(), "OK\r\n0\r\n3\r\n");
}

TEST_F(DocumentCommandsE2ETest, DeleteWithAndWithoutIfActual) {
  ASSERT_EQ(add("i", "a"), "OK\r\ndocument 0\r\n");
  ASSERT_EQ(add("i", "b"), "OK\r\ndocument 1\r\n");
  EXPECT_EQ(ask("i", "delete document 0 from table books;"),
            error(3, 35, "у пользователя недостаточно прав для удаления документа"));
  EXPECT_EQ(ask("u", "delete document 0 from table books;"), "OK\r\n");
  EXPECT_EQ(ask("u", "delete document 0 from table books;"),
            error(3, 35, "документ 0 уже удалён/заменён"));
  EXPECT_EQ(ask("u", "delete if actual document 0 from table books; document 1 from table books;"),
            "OK\r\n");
  EXPECT_EQ(length(), "OK\r\n0\r\n2\r\n");
  EXPECT_EQ(ask("u", "delete if actual document 9 from table books;"),
            error(3, 45, "документ номер 9 отсутствует в таблице books"));
  EXPECT_EQ(ask("u", "delete if document 9 from table books;"),
            error(3, 19, "ожидается actual получено document"));
}

TEST_F(DocumentCommandsE2ETest, ReadingDeletedDocumentsNeedsHistory) {
  ASSERT_EQ(add("i", "live"), "OK\r\ndocument 0\r\n");
  ASSERT_EQ(add("i", "gone"), "OK\r\ndocument 1\r\n");
  ASSERT_EQ(ask("u", "delete document 1 from table books;"), "OK\r\n");
  const std::string liveLength = std::to_string(bookText("live").size());
  const std::string goneLength = std::to_string(bookText("gone").size());

  const struct {
    std::string user;
    std::string form;
    std::string live;  // the answer for document 0
    std::string gone;  // the answer for document 1
  } cases[] = {
      {"s", " length", "OK\r\n" + liveLength + "\r\n",
       error(3, 39, "у пользователя недостаточно прав для получения длины удалённого документа")},
      {"sh", " length", "OK\r\n" + liveLength + "\r\n", "OK\r\n" + goneLength + "\r\n"},
      {"m", " length",
       error(3, 39, "у пользователя недостаточно прав для получения длины документа"),
       error(3, 39, "у пользователя недостаточно прав для получения длины удалённого документа")},
      {"s", "", "OK\r\n" + bookText("live"),
       error(3, 32, "у пользователя недостаточно прав для получения удалённого документа")},
      {"sh", "", "OK\r\n" + bookText("live"), "OK\r\n" + bookText("gone")},
      {"mh", "", error(3, 32, "у пользователя недостаточно прав для получения документа"),
       error(3, 32, "у пользователя недостаточно прав для получения удалённого документа")},
      {"guest", "", error(3, 32, "у пользователя недостаточно прав для получения документа"),
       error(3, 32, "у пользователя недостаточно прав для получения удалённого документа")},
      {"m", " meta", "OK\r\n",
       error(3, 37,
             "у пользователя недостаточно прав для получения "
             "метаинформации удалённого документа")},
      {"sh", " meta",
       error(3, 37, "у пользователя недостаточно прав для получения метаинформации документа"),
       error(3, 37,
             "у пользователя недостаточно прав для получения метаинформации удалённого "
             "документа")},
  };
  for (const auto& c : cases) {
    for (const auto& [number, expected] : {std::pair{0, c.live}, std::pair{1, c.gone}}) {
      const std::string answer = ask(
          c.user, "get document " + std::to_string(number) + " from table books" + c.form + ";");
      if (c.form == " meta" && expected == "OK\r\n") {
        EXPECT_TRUE(answer.starts_with("OK\r\ndocument {\r\n   usercreated = #1#i#;"))
            << c.user << answer;
      } else {
        EXPECT_EQ(answer, expected) << c.user << c.form << " " << number;
      }
    }
  }
  // The owner and the admin hold every privilege.
  EXPECT_EQ(ask("maker", "get document 1 from table books length;"),
            "OK\r\n" + goneLength + "\r\n");
  EXPECT_EQ(ask("admin", "get document 1 from table books;"), "OK\r\n" + bookText("gone"));
  EXPECT_EQ(ask("s", "get document 2 from table books length;"),
            error(3, 39, "документ номер 2 отсутствует в таблице books"));
}

TEST_F(DocumentCommandsE2ETest, OnlyProjectsFieldsAndGroups) {
  ASSERT_EQ(ask("i", "add " + book("W", "'1869'") + " to table books;"), "OK\r\ndocument 0\r\n");
  const std::string head = "OK\r\ndocument {\r\n";
  EXPECT_EQ(ask("s", "get document 0 from table books only year, title;"),
            head + "   field title = #1#W#;\r\n   field year = #4#1869#;\r\n};\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books only author;"),
            head +
                "   group author {\r\n      field last = #7#Tolstoy#;\r\n"
                "      field first = #3#Leo#;\r\n   };\r\n};\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books only author.first, title;"),
            head +
                "   field title = #1#W#;\r\n   group author {\r\n"
                "      field first = #3#Leo#;\r\n   };\r\n};\r\n");
  EXPECT_EQ(ask("s", "get document 0 from table books only nosuch;"),
            error(3, 44, "имя nosuch в таблице books не найдено"));
  EXPECT_EQ(ask("s", "get document 0 from table books only author.middle;"),
            error(3, 51, "имя author.middle в таблице books не найдено"));
  EXPECT_EQ(ask("s", "get document 0 from table books only title.x;"),
            error(3, 44, "ожидается ';' получено '.'"));
  EXPECT_EQ(ask("guest", "get document 0 from table books only title;"),
            error(3, 43, "у пользователя недостаточно прав для получения документа"));
}

TEST_F(DocumentCommandsE2ETest, CommittedWorkSurvivesARestart) {
  ASSERT_EQ(ask("i", "add " + book("a") + " to table books; add " + book("b") + " to table books;"),
            "OK\r\ndocument 0\r\nOK\r\ndocument 1\r\n");
  ASSERT_EQ(add("u", "c", " replacing 0"), "OK\r\ndocument 2\r\n");
  ASSERT_EQ(ask("u", "delete document 1 from table books;"), "OK\r\n");
  const std::string meta0 = ask("mh", "get document 0 from table books meta;");
  const std::string meta1 = ask("mh", "get document 1 from table books meta;");
  ASSERT_EQ(ask("u", "commit;"), "OK\r\n");

  // The journal was emptied by the commit: after a kill nothing is replayed, so what the
  // restarted server shows comes from the committed files alone.
  instance_->stop();
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(length(), "OK\r\n1\r\n3\r\n");
  EXPECT_EQ(ask("sh",
                "get document 0 from table books; document 1 from table books; "
                "document 2 from table books;"),
            "OK\r\n" + bookText("a") + bookText("b") + bookText("c"));
  EXPECT_EQ(ask("mh", "get document 0 from table books meta;"), meta0);
  EXPECT_EQ(ask("mh", "get document 1 from table books meta;"), meta1);
  EXPECT_EQ(instance_->console().find('*'), std::string::npos);  // one per replayed query
  EXPECT_EQ(add("i", "d"), "OK\r\ndocument 3\r\n");
}

// Acknowledged work since the last commit lives only in memory and in the journal: after a
// kill -9 the next start replays it before it accepts a connection.
TEST_F(DocumentCommandsE2ETest, UncommittedWorkComesBackAfterAKill) {
  ASSERT_EQ(ask("i", "add " + book("a") + " to table books; add " + book("b") + " to table books;"),
            "OK\r\ndocument 0\r\nOK\r\ndocument 1\r\n");
  ASSERT_EQ(add("u", "c", " replacing 0"), "OK\r\ndocument 2\r\n");
  ASSERT_EQ(ask("u", "delete document 1 from table books;"), "OK\r\n");

  instance_->stop(SIGKILL);
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(length(), "OK\r\n1\r\n3\r\n");
  EXPECT_EQ(ask("sh",
                "get document 0 from table books; document 1 from table books; "
                "document 2 from table books;"),
            "OK\r\n" + bookText("a") + bookText("b") + bookText("c"));
  EXPECT_EQ(add("i", "d"), "OK\r\ndocument 3\r\n");
}

}  // namespace
}  // namespace dovrel::e2e
