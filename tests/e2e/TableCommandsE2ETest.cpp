// The table commands over the wire: create, drop and every form of get table with their
// privilege checks and exact answers, and the security file saved with each change.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TableE2ETest.h"
#include "support/Files.h"

namespace dovrel::e2e {
namespace {

using testsupport::readFile;

class TableCommandsE2ETest : public TableE2ETest {};

TEST_F(TableCommandsE2ETest, CreateTableChecksTheKindTheDeclarationAndTheName) {
  writeSecurity("");
  ASSERT_TRUE(instance_->start());
  // The kind is checked before the declaration is read.
  EXPECT_EQ(ask("guest", "create table ???"),
            error(3, 13, "у пользователя недостаточно прав для создания таблицы"));
  EXPECT_EQ(ask("maker", "create " + BOOKS), "OK\r\n");
  EXPECT_EQ(ask("maker", "get table books structure;"), "OK\r\n" + BOOKS_TEXT);
  EXPECT_TRUE(std::filesystem::exists(instance_->directory() + "DATA/books.structure"));
  EXPECT_TRUE(std::filesystem::exists(instance_->directory() + "DATA/books.table"));
  EXPECT_EQ(readFile(instance_->directory() + "DATA/books.structure"), BOOKS_TEXT);
  EXPECT_NE(readFile(instance_->directory() + "security.txt").find("table books owner maker {"),
            std::string::npos);

  // A declaration error of a second table of the same name is reported before the clash.
  EXPECT_EQ(ask("maker2", "create table books alias '' { field a alias '' : texty { }; };"),
            error(3, 57, "texty - недопустимый тип поля books.a"));
  EXPECT_EQ(ask("admin", "create table BOOKS alias '' { };"),
            error(3, 32, "таблица books уже существует"));
  EXPECT_EQ(ask("maker2", "create table other alias 'O' { };"), "OK\r\n");
  EXPECT_EQ(ask("admin", "get table names;"), "OK\r\n2\r\nbooks\r\nother\r\n");
  // The owner sees his table; another creator does not.
  EXPECT_EQ(ask("maker2", "get table names aliases;"), "OK\r\n1\r\nother alias #1#O#\r\n");
}

TEST_F(TableCommandsE2ETest, GetTableFormsFollowTheirPrivileges) {
  startWithBooks();
  EXPECT_EQ(ask("guest", "get table names;"), "OK\r\n0\r\n");
  EXPECT_EQ(ask("st", "get table names;"), "OK\r\n1\r\nbooks\r\n");
  EXPECT_EQ(ask("s", "get table names;"), "OK\r\n0\r\n");
  EXPECT_EQ(ask("st", "get table names aliases;"), "OK\r\n1\r\nbooks alias #5#Books#\r\n");
  EXPECT_EQ(ask("st", "get table structures;"), "OK\r\n1\r\n" + BOOKS_TEXT);
  EXPECT_EQ(ask("guest", "get table structures;"), "OK\r\n0\r\n");

  EXPECT_EQ(ask("st", "get table books structure;"), "OK\r\n" + BOOKS_TEXT);
  EXPECT_EQ(ask("s", "get table books structure;"),
            error(3, 26, "у пользователя недостаточно прав для получения структуры таблицы"));
  EXPECT_EQ(ask("s", "get table books length;"), "OK\r\n0\r\n0\r\n");
  EXPECT_EQ(ask("st", "get table books length;"),
            error(3, 23, "у пользователя недостаточно прав для получения длины таблицы"));

  const std::string privileges =
      "OK\r\ntable books owner maker {\r\n   all: structure, select, insert, update, meta, "
      "history;\r\n   i: insert;\r\n   m: meta;\r\n   mh: meta, history;\r\n   s: select;\r\n"
      "   sh: select, history;\r\n   st: structure;\r\n   u: update;\r\n}\r\n";
  EXPECT_EQ(ask("maker", "get table books privileges;"), privileges);
  EXPECT_EQ(ask("admin", "get table books privileges;"), privileges);
  EXPECT_EQ(
      ask("all", "get table books privileges;"),
      error(3, 27, "у пользователя недостаточно прав для получения списка привилегий таблицы"));
}

TEST_F(TableCommandsE2ETest, GetTableRefusesWrongContinuations) {
  startWithBooks();
  EXPECT_EQ(ask("admin", "get table names foo;"),
            error(3, 20, "ожидается aliases, length, structure, privileges или ';'"));
  EXPECT_EQ(ask("admin", "get table structures aliases;"),
            error(3, 29, "ожидается length, structure, privileges или ';'"));
  EXPECT_EQ(ask("admin", "get table books;"),
            error(3, 16, "ожидается length, structure или privileges"));
  EXPECT_EQ(ask("admin", "get table nosuch length;"), error(3, 24, "таблица nosuch не найдена"));
  EXPECT_EQ(ask("admin", "get table names aliases"),
            error(3, 23, "ожидается ';' получено <конец текста>"));
  EXPECT_EQ(ask("admin", "get table names length;"), error(3, 23, "таблица names не найдена"));
}

TEST_F(TableCommandsE2ETest, TablesCalledNamesAndStructuresAreReached) {
  writeSecurity("");
  ASSERT_TRUE(instance_->start());
  ASSERT_EQ(ask("maker", "create table names alias 'N' { };"), "OK\r\n");
  ASSERT_EQ(ask("maker", "create table structures alias 'S' { };"), "OK\r\n");
  EXPECT_EQ(ask("maker", "get table names;"), "OK\r\n2\r\nnames\r\nstructures\r\n");
  EXPECT_EQ(ask("maker", "get table names structure;"),
            "OK\r\ntable names alias #1#N# {\r\n};\r\n");
  EXPECT_EQ(ask("maker", "get table structures structure;"),
            "OK\r\ntable structures alias #1#S# {\r\n};\r\n");
  EXPECT_EQ(ask("maker", "get table names length;"), "OK\r\n0\r\n0\r\n");
  EXPECT_EQ(ask("maker", "get table structures privileges;"),
            "OK\r\ntable structures owner maker {\r\n}\r\n");
  EXPECT_EQ(ask("maker", "drop table names;"), "OK\r\n");
  EXPECT_EQ(ask("maker", "get table structures;"),
            "OK\r\n1\r\ntable structures alias #1#S# {\r\n};\r\n");
}

TEST_F(TableCommandsE2ETest, DropTableByOwnerOrAdminRemovesFilesAndSecurityEntry) {
  startWithBooks();
  ASSERT_EQ(ask("i", "add " + book("War and Peace") + " to table books;"), "OK\r\ndocument 0\r\n");
  ASSERT_EQ(ask("maker", "create table booksx alias '' { };"), "OK\r\n");
  EXPECT_EQ(ask("all", "drop table books;"),
            error(3, 17, "у пользователя недостаточно прав для удаления таблицы"));
  EXPECT_EQ(ask("maker2", "drop table books;"),
            error(3, 17, "у пользователя недостаточно прав для удаления таблицы"));
  EXPECT_EQ(ask("maker", "drop table nosuch;"), error(3, 18, "таблица nosuch не найдена"));
  EXPECT_EQ(ask("maker", "drop table books;"), "OK\r\n");

  const std::string data = instance_->directory() + "DATA/";
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name.starts_with("books.")) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(data + "booksx.structure"));
  EXPECT_EQ(readFile(instance_->directory() + "security.txt").find("table books "),
            std::string::npos);
  EXPECT_EQ(ask("admin", "get table names;"), "OK\r\n1\r\nbooksx\r\n");
  EXPECT_EQ(ask("admin", "drop table booksx;"), "OK\r\n");
  EXPECT_EQ(ask("admin", "get table names;"), "OK\r\n0\r\n");

  // A table of the dropped name can be created again, empty.
  ASSERT_EQ(ask("maker2", "create " + BOOKS), "OK\r\n");
  EXPECT_EQ(ask("maker2", "get table books length;"), "OK\r\n0\r\n0\r\n");
  instance_->stop();
  ASSERT_TRUE(instance_->start());
  EXPECT_EQ(ask("admin", "get table names;"), "OK\r\n1\r\nbooks\r\n");
}

TEST_F(TableCommandsE2ETest, CommitNeedsAdminOrInsertOrUpdateSomewhere) {
  startWithBooks();
  EXPECT_EQ(ask("admin", "commit;"), "OK\r\n");
  EXPECT_EQ(ask("i", "commit;"), "OK\r\n");
  EXPECT_EQ(ask("u", "commit;"), "OK\r\n");
  EXPECT_EQ(ask("maker", "commit;"), "OK\r\n");  // the owner is allowed everything
  // Nothing changed, but the right is still required.
  EXPECT_EQ(ask("st", "commit;"),
            error(3, 7, "у пользователя недостаточно прав для фиксации состояния сервера"));
  EXPECT_EQ(ask("sh", "commit;"),
            error(3, 7, "у пользователя недостаточно прав для фиксации состояния сервера"));
  EXPECT_EQ(ask("maker2", "commit;"),
            error(3, 7, "у пользователя недостаточно прав для фиксации состояния сервера"));
  EXPECT_EQ(ask("admin", "commit"), error(3, 6, "ожидается ';' получено <конец текста>"));
}

}  // namespace
}  // namespace dovrel::e2e
