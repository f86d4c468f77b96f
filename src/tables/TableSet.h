// TableSet: the catalogue of all tables of the server. It loads every table's structure
// at start-up (finishing or undoing a creation, drop or commit that a crash interrupted),
// finds tables by name, adds created tables, drops tables with their files and commits
// all used tables together. Owned by the query parser for the life of the process; used
// only by the thread that runs queries (no locking).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "tables/CommitListener.h"

namespace dovrel {

class Table;
class TextBuffer;
class User;

class TableSet : public Object {
 public:
  using TableMap = std::map<std::string, std::shared_ptr<Table>, std::less<>>;

  // An empty catalogue over `dataDirectory` (ending with its separator, or empty for the
  // current directory). load() fills it.
  explicit TableSet(std::string dataDirectory);
  ~TableSet() override;
  TableSet(const TableSet&) = delete;
  TableSet& operator=(const TableSet&) = delete;

  // The start-up, in this order: recoverCreateOrDrop, loadTables, recoverCommit. A
  // failure stops the start: DiskOrMemoryError for the markers and files, TextError
  // "не удалось загрузить структуру таблицы " + name for a structure that cannot be
  // loaded, SemanticError "таблица " + name + " не найдена" for a commit marker naming an
  // unknown table.
  void load();
  // An "in_create.txt" left by a crash: every file of the table it names is deleted, then
  // the marker. An empty marker is simply deleted.
  void recoverCreateOrDrop();
  // Every NAME.structure in the data directory becomes a table (files not opened).
  void loadTables();
  // An "in_commit.txt" left by a crash in the first commit phase: each table it names is
  // opened in OpenMode::openAfterCommit, which returns it to the previous commit. The
  // marker stays until settleInterruptedCommit(), so that a crash before the journal has
  // recorded the undone commit undoes it again at the next start rather than taking it
  // for complete.
  void recoverCommit();
  // Whether recoverCommit found a marker that is not settled yet.
  bool commitInterrupted() const { return commitInterrupted_; }
  // Deletes the marker recoverCommit kept (nothing when there is none). DiskOrMemoryError
  // "Ошибка удаления in_commit.txt".
  void settleInterruptedCommit();
  // The listener every later commitAll tells once its marker is on disk; an expired one is
  // not told.
  void setCommitListener(std::weak_ptr<CommitListener> listener) {
    commitListener_ = std::move(listener);
  }

  // The name must not be in the set yet (fatal otherwise).
  void addTable(std::shared_ptr<Table> table);
  // SemanticError "таблица " + name + " не найдена" for a name not in the set.
  std::shared_ptr<Table> getTable(std::string_view name) const;
  bool hasTable(std::string_view name) const;
  // Removes the table and every file whose name begins with the name and '.', under the
  // guard of "in_create.txt". SemanticError as getTable for an unknown name.
  void dropTable(std::string_view name);
  // Commits every table with open files: a marker kept by recoverCommit settled,
  // "in_commit.txt" listing them, the commit listener told, the first phase of each, the
  // marker deleted, the second phase of each.
  void commitAll();

  // For each table whose security allows `user` the privilege "structure", in name order:
  // the name and CR LF / the alias line / the structure text. Each returns how many
  // tables it listed.
  uint32_t writeNames(const User& user, TextBuffer& out) const;
  uint32_t writeAliases(const User& user, TextBuffer& out) const;
  uint32_t writeStructures(const User& user, TextBuffer& out) const;
  // After the security store is loaded: a table without a security record is
  // SemanticError "безопасность для таблицы " + name + " не установлена".
  void checkSecurity() const;

  // In name order (bytewise).
  const TableMap& tables() const { return tables_; }
  const std::string& dataDirectory() const { return dataDirectory_; }

 private:
  void loadTable(const std::string& name);
  // The tables whose security allows `user` "structure", in name order.
  template <class Write>
  uint32_t writeListed(const User& user, Write&& write) const;

  std::string dataDirectory_;
  TableMap tables_;
  bool commitInterrupted_ = false;
  std::weak_ptr<CommitListener> commitListener_;
};

}  // namespace dovrel
