// The table catalogue: start-up recovery and loading, drop and commit with their marker
// files. Query thread or start-up.
//
// Marker states of the data directory and the function behind each transition:
//   idle (no marker)  -> in_create.txt NAME   Table::createFiles step 1, dropTable step 3
//   in_create.txt     -> idle                 createFiles (files complete), dropTable
//                                             (files gone), recoverCreateOrDrop (files
//                                             of NAME removed)
//   idle              -> in_commit.txt LIST   commitAll (before the listener is told)
//   in_commit.txt     -> idle                 commitAll (first phase of every listed
//                                             table done), settleInterruptedCommit
//                                             (after recoverCommit opened the listed
//                                             tables in openAfterCommit)
//
// Invariants:
//   1. A marker is written, synced and its directory synced before the work it guards
//      begins; it is deleted, and the directory synced, only after that work is complete
//      and durable (each file syncs its own writes).
//   2. While "in_create.txt" names a table, every file of that table (every file whose
//      name begins with the name and '.') may be removed without loss: the table is being
//      created or dropped.
//   3. While "in_commit.txt" exists, no table has begun its second commit phase, so
//      opening the listed tables in openAfterCommit returns each of them whole to the
//      previous commit. Once it is gone every first phase is complete, and an ordinary
//      open completes the second.
//   4. A marker torn by a crash before it was durable guards no work yet: a marker with no
//      name (empty, blanks or zero bytes) is simply deleted.
//   5. The commit listener is told only while "in_commit.txt" is durable and before any
//      first phase begins. So when it was told, the marker's absence at the next start
//      means that commit is complete, and its presence that it is undone, provided a marker
//      found at start-up is kept until the listener's side has recorded the undoing
//      (settleInterruptedCommit).
//   6. A marker is never one of a table's files, whatever the table's name: the files of
//      table NAME are NAME.structure, NAME.table, NAME.meta and NAME.*.index, and the only
//      names that meet a marker ("in_create.txt", "in_commit.txt" for tables "in_create"
//      and "in_commit") are left out of every listing of a table's files (tableFiles).
#include "tables/TableSet.h"

#include <new>
#include <utility>
#include <vector>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "platform/Env.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "tables/FileList.h"
#include "tables/MarkerFile.h"
#include "tables/Table.h"

namespace dovrel {

namespace {

constexpr std::string_view STRUCTURE_SUFFIX = ".structure";

void deleteFile(const std::string& directory, const std::string& name, std::string_view what) {
  if (!platform::Env::current().deleteFile(directory + name).isOk()) {
    std::string message("Ошибка удаления файла "_cp866);
    message += name;
    message += what;
    throw DiskOrMemoryError(std::move(message));
  }
}

// Every file of table `name`: those whose names begin with the name and '.'. The markers
// are left out: a table named "in_create" or "in_commit" would otherwise take the marker
// beside it for one of its files, and deleting it with them would lose the guard of the
// work under way (invariant 6).
std::vector<std::string> tableFiles(const std::string& directory, const std::string& name) {
  std::vector<std::string> files = FileList::byPrefix(directory, name + ".").names();
  std::erase_if(files, [](const std::string& file) { return MarkerFile::isMarkerName(file); });
  return files;
}

void syncDirectory(const std::string& directory, std::string_view failure) {
  if (!platform::Env::current().syncDirectory(directory).isOk()) throw DiskOrMemoryError(failure);
}

}  // namespace

TableSet::TableSet(std::string dataDirectory) : dataDirectory_(std::move(dataDirectory)) {}

TableSet::~TableSet() = default;

// --- Start-up -------------------------------------------------------------------------------

void TableSet::load() {
  recoverCreateOrDrop();
  loadTables();
  recoverCommit();
}

void TableSet::recoverCreateOrDrop() {
  const MarkerFile marker(dataDirectory_, MarkerFile::IN_CREATE);
  if (!marker.exists()) return;
  const std::vector<std::string> names = marker.readNames();
  if (!names.empty()) {
    const std::string& name = names.front();
    for (const std::string& file : tableFiles(dataDirectory_, name)) {
      deleteFile(dataDirectory_, file, " недосозданной таблицы"_cp866);
    }
    // The files must be gone for good before the marker that names them.
    syncDirectory(dataDirectory_, "Ошибка удаления файла in_create.txt"_cp866);
  }
  marker.remove("Ошибка удаления файла in_create.txt"_cp866);
}

void TableSet::loadTables() {
  const FileList files = FileList::bySuffix(dataDirectory_, STRUCTURE_SUFFIX);
  for (const std::string& file : files.names()) {
    const std::string name = file.substr(0, file.find('.'));
    // "t.x.structure" names table t as well; its structure is t.structure, read once.
    if (!tables_.contains(name)) loadTable(name);
  }
}

void TableSet::loadTable(const std::string& name) {
  const std::string failure = std::string("не удалось загрузить структуру таблицы "_cp866) + name;
  std::shared_ptr<Table> table;
  try {
    std::string content;
    if (!platform::Env::current()
             .readWholeFile(dataDirectory_ + name + std::string(STRUCTURE_SUFFIX), &content)
             .isOk() ||
        content.size() > UINT32_MAX) {
      throw TextError(failure);
    }
    Scanner scanner{TextView(content)};
    scanner.next();
    table = Table::read(scanner, dataDirectory_);
  } catch (const Error&) {
    throw TextError(failure);
  } catch (const std::bad_alloc&) {
    throw TextError(failure);
  }
  // A structure copied in under another name would take that name's files: refused like
  // any structure that cannot be loaded.
  if (table->getName() != name) throw TextError(failure);
  addTable(std::move(table));
}

void TableSet::recoverCommit() {
  const MarkerFile marker(dataDirectory_, MarkerFile::IN_COMMIT);
  if (!marker.exists()) return;
  for (const std::string& name : marker.readNames()) {
    getTable(name)->openFiles(OpenMode::openAfterCommit);
  }
  // Opening in openAfterCommit again after a second crash finds the same previous commit,
  // so keeping the marker a little longer is safe (invariant 5).
  commitInterrupted_ = true;
}

void TableSet::settleInterruptedCommit() {
  if (!commitInterrupted_) return;
  MarkerFile(dataDirectory_, MarkerFile::IN_COMMIT).remove("Ошибка удаления in_commit.txt"_cp866);
  commitInterrupted_ = false;
}

// --- Catalogue ------------------------------------------------------------------------------

void TableSet::addTable(std::shared_ptr<Table> table) {
  DOVREL_ASSERT_TEXT(!tables_.contains(table->getName()), "tables.find(name) == tables.end()");
  std::string name = table->getName();
  tables_.emplace(std::move(name), std::move(table));
}

std::shared_ptr<Table> TableSet::getTable(std::string_view name) const {
  auto found = tables_.find(name);
  if (found == tables_.end()) {
    std::string message("таблица "_cp866);
    message += name;
    message += " не найдена"_cp866;
    throw SemanticError(std::move(message));
  }
  return found->second;
}

bool TableSet::hasTable(std::string_view name) const { return tables_.contains(name); }

void TableSet::dropTable(std::string_view name) {
  std::shared_ptr<Table> table = getTable(name);
  const std::string tableName(name);
  // Taken before anything changes, so it holds exactly the files of the table as it is.
  const std::vector<std::string> files = tableFiles(dataDirectory_, tableName);
  const MarkerFile marker(dataDirectory_, MarkerFile::IN_CREATE);
  marker.write(tableName);
  table->commitPrepare();
  table->commitFinish();
  // Whoever else still holds the table keeps an object without files.
  table->closeFiles();
  tables_.erase(tableName);
  for (const std::string& file : files) {
    deleteFile(dataDirectory_, file, " удаляемой таблицы"_cp866);
  }
  syncDirectory(dataDirectory_, "Ошибка удаления файла in_create.txt"_cp866);
  marker.remove("Ошибка удаления файла in_create.txt"_cp866);
}

void TableSet::commitAll() {
  settleInterruptedCommit();
  TextBuffer list;
  for (const auto& [name, table] : tables_) {
    if (!table->filesOpen()) continue;
    list.append(name);
    list.append(std::string_view("\r\n"));
  }
  const MarkerFile marker(dataDirectory_, MarkerFile::IN_COMMIT);
  marker.write(list.stringView());
  if (const std::shared_ptr<CommitListener> listener = commitListener_.lock()) {
    listener->commitStarting();  // invariant 5
  }
  for (const auto& entry : tables_) entry.second->commitPrepare();
  marker.remove("Ошибка удаления in_commit.txt"_cp866);
  for (const auto& entry : tables_) entry.second->commitFinish();
}

// --- Listings -------------------------------------------------------------------------------

template <class Write>
uint32_t TableSet::writeListed(const User& user, Write&& write) const {
  uint32_t count = 0;
  for (const auto& entry : tables_) {
    const std::shared_ptr<TableSecurity>& security = entry.second->getSecurity();
    if (security == nullptr || !security->allows(TablePrivilege::STRUCTURE, user)) continue;
    write(*entry.second);
    ++count;
  }
  return count;
}

uint32_t TableSet::writeNames(const User& user, TextBuffer& out) const {
  return writeListed(user, [&](const Table& table) {
    out.append(table.getName());
    out.append(std::string_view("\r\n"));
  });
}

uint32_t TableSet::writeAliases(const User& user, TextBuffer& out) const {
  return writeListed(user, [&](const Table& table) { table.writeAliasLine(out); });
}

uint32_t TableSet::writeStructures(const User& user, TextBuffer& out) const {
  return writeListed(user, [&](const Table& table) { table.writeText(out); });
}

void TableSet::checkSecurity() const {
  for (const auto& [name, table] : tables_) {
    if (table->getSecurity() == nullptr) {
      throw SemanticError(std::string("безопасность для таблицы "_cp866) + name +
                          std::string(" не установлена"_cp866));
    }
  }
}

}  // namespace dovrel
