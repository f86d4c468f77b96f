// Helpers shared by the tests of tables and documents: scratch data directories, tables
// and documents read from text, users, and raw file access. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "keys/TableIndex.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "support/Files.h"
#include "support/TempDir.h"
#include "tables/Document.h"
#include "tables/Table.h"
#include "tables/TableField.h"
#include "tables/TableSet.h"

namespace dovrel::tables_test {

// A data directory removed with its content when the test ends; in memory (/dev/shm)
// where that exists, since the tables' files are synced often.
class DataDir {
 public:
  // Ends with '/'.
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + std::string(name); }
  // The names of the files in the directory, sorted.
  std::vector<std::string> files() const { return dir_.names(); }
  bool exists(std::string_view name) const { return testsupport::fileExists(file(name)); }

 private:
  testsupport::TempDir dir_{testsupport::memoryParent()};
  std::string path_ = dir_.path() + "/";
};

using testsupport::readFile;
using testsupport::writeFile;

inline std::shared_ptr<Table> readTable(std::string_view text, const std::string& dataDirectory) {
  Scanner scanner{TextView(text)};
  scanner.next();
  return Table::read(scanner, dataDirectory);
}

inline std::shared_ptr<Document> readDocument(std::string_view text) {
  Scanner scanner{TextView(text)};
  scanner.next();
  return Document::read(scanner);
}

inline std::string structureText(const Table& table) {
  TextBuffer out;
  table.writeText(out);
  return out.toString();
}

inline std::string documentText(const Document& document) {
  TextBuffer out;
  document.writeText(out);
  return out.toString();
}

inline std::shared_ptr<User> makeUser(std::string name) {
  std::shared_ptr<User> user = User::create();
  user->setName(std::move(name));
  return user;
}

// What create table does after reading the declaration: security, catalogue, files.
inline std::shared_ptr<Table> createTable(TableSet& set, std::string_view text,
                                          const std::shared_ptr<User>& owner) {
  std::shared_ptr<Table> table = readTable(text, set.dataDirectory());
  table->setSecurity(std::shared_ptr<TableSecurity>(new TableSecurity(table->getName(), owner)));
  set.addTable(table);
  table->createFiles();
  return table;
}

// What the add command does with one document: check, store, index; when replacing, the
// old version's keys are withdrawn. `body` is the text between the document's braces.
inline uint32_t storeDocument(Table& table, std::string_view body, const User& user,
                              bool replacing = false, uint32_t replaced = 0) {
  table.openFiles(OpenMode::openNormal);
  std::shared_ptr<Document> document = readDocument("document { " + std::string(body) + " }");
  document->validate(table);
  return replacing ? table.replaceDocument(replaced, *document, user)
                   : table.addDocument(*document, user);
}

// What the delete command does with one document.
inline void deleteStored(Table& table, uint32_t number, const User& user) {
  table.openFiles(OpenMode::openNormal);
  table.deleteDocument(number, user);
}

// A table of one text field f with a whole index i, the form the catalogue tests use.
inline std::string simpleStructure(std::string_view name) {
  return "table " + std::string(name) + " alias '" + std::string(name) +
         "' { field f alias '' : text { index i 'whole size=16'; }; };";
}

// Two states of a simple table that every file of it records: state 0 holds document 0
// ("zero"); state 1 adds document 1 ("one") and deletes document 0.
inline void enterStateZero(Table& table, const User& user) {
  storeDocument(table, "field f = 'zero';", user);
}
inline void enterStateOne(Table& table, const User& user) {
  storeDocument(table, "field f = 'one';", user);
  deleteStored(table, 0, user);
}
// 0 or 1 for the state the table's files are in, -1 when they disagree (opens the files).
inline int stateOf(Table& table) {
  table.openFiles(OpenMode::openNormal);
  auto index = dynamic_cast<TableField*>(table.findMember("f"))->findIndex("i");
  const auto present = [&](std::string_view value) {
    index::OrderedListPtr list = index->equal(TextView(value), index::SearchMode::PRESENT);
    return std::vector<uint32_t>(list->begin(), list->end());
  };
  const uint32_t count = table.getNumberCount();
  if (count == 1 && !table.isDocumentDeleted(0) && present("zero") == std::vector<uint32_t>{0} &&
      present("one").empty()) {
    return 0;
  }
  if (count == 2 && table.isDocumentDeleted(0) && !table.isDocumentDeleted(1) &&
      present("zero").empty() && present("one") == std::vector<uint32_t>{1}) {
    return 1;
  }
  return -1;
}

// The message of the SemanticError that `action` throws, or a note that it threw none.
template <class Action>
std::string semanticError(Action&& action) {
  try {
    action();
  } catch (const SemanticError& e) {
    return e.message();
  }
  return "<no SemanticError>";
}

template <class Action>
std::string diskError(Action&& action) {
  try {
    action();
  } catch (const DiskOrMemoryError& e) {
    return e.message();
  }
  return "<no DiskOrMemoryError>";
}

template <class Action>
std::string textError(Action&& action) {
  try {
    action();
  } catch (const TextError& e) {
    return e.text();
  }
  return "<no TextError>";
}

inline std::string cat(std::string_view a, std::string_view b, std::string_view c = {},
                       std::string_view d = {}) {
  std::string out(a);
  out += b;
  out += c;
  out += d;
  return out;
}

}  // namespace dovrel::tables_test
