// Tables: the structure text, the files of a table and the document operations with their
// meta records. Query thread or start-up.
//
// Creation of a table's files (createFiles), guarded by the marker "in_create.txt":
//   1. the marker, holding the table name, is written and synced with its directory;
//   2. NAME.structure is written and synced;
//   3. NAME.table and NAME.meta are created (each synced by its own creation);
//   4. every index file is created (each committed empty);
//   5. the directory is synced, so every new file's entry is durable;
//   6. the marker is deleted and the directory synced.
// Invariant: while any file of the table may be missing or incomplete, the marker naming
// it is on disk, so the next start removes every file that begins with the name and '.'
// (TableSet). After step 6 every file is complete and durable.
//
// Document numbers: record n of NAME.meta is the meta record of document n of NAME.table;
// both files always hold the same number of records, since every document operation
// changes both or fails as a DiskOrMemoryError that forbids the next commit.
//
// Index keys: the keys of every live document are recorded in the table's indexes, and
// the keys of every deleted one are withdrawn. addDocument, replaceDocument and
// deleteDocument keep this by changing the documents files first and the indexes second;
// a failure between the two is a DiskOrMemoryError, so the documents files and indexes
// that disagree are never committed (the next open returns them to the last commit).
#include "tables/Table.h"

#include <utility>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "keys/TableIndex.h"
#include "platform/Env.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "storage/DocumentsFile.h"
#include "tables/Document.h"
#include "tables/DocumentField.h"
#include "tables/DocumentGroup.h"
#include "tables/MarkerFile.h"
#include "tables/MetaRecord.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"

namespace dovrel {

namespace {

[[noreturn]] void databaseFailure() { throw DiskOrMemoryError("ошибка работы с БД"_cp866); }

void check(DocumentsFileResult result) {
  if (result != DF_DONE) databaseFailure();
}

[[noreturn]] void fileFailure(std::string_view text, std::string_view fileName) {
  std::string message(text);
  message += fileName;
  throw DiskOrMemoryError(std::move(message));
}

std::string alreadyDeleted(uint32_t number) {
  std::string message("документ "_cp866);
  message += toDecimalString(number);
  message += " уже удалён/заменён"_cp866;
  return message;
}

// The index walk meets a member that the table does not have only in a stored document
// that was damaged on disk: every document is checked before it is stored.
[[noreturn]] void notOfTheTable() { throw DiskOrMemoryError("ошибка работы с БД"_cp866); }

}  // namespace

Table::Table(std::string name, std::string alias, std::string dataDirectory)
    : name_(std::move(name)), alias_(std::move(alias)), dataDirectory_(std::move(dataDirectory)) {}

Table::~Table() = default;

std::shared_ptr<Table> Table::read(Scanner& scanner, std::string dataDirectory) {
  scanner.expectKeyword("table");
  std::string name = scanner.expectName("таблицы"_cp866);
  scanner.expectKeyword("alias");
  std::string alias = scanner.expectString().toString();
  std::shared_ptr<Table> table(
      new Table(std::move(name), std::move(alias), std::move(dataDirectory)));
  scanner.expect(TOKEN_LBRACE);
  const std::string prefix = table->name_ + ".";
  for (;;) {
    if (scanner.isName("field")) {
      table->addMember(TableField::read(scanner, prefix, table->dataDirectory_));
    } else if (scanner.isName("group")) {
      table->addMember(TableGroup::read(scanner, prefix, table->dataDirectory_));
    } else {
      break;
    }
  }
  scanner.expect(TOKEN_RBRACE);
  scanner.expect(TOKEN_SEMICOLON);
  return table;
}

void Table::addMember(std::unique_ptr<TableMember> member) {
  if (memberMap_.contains(member->getName())) {
    throw SemanticError(std::string("повторное объявление имени "_cp866) + member->getFullName());
  }
  const auto addIndexesOf = [this](TableField& field) {
    for (const auto& each : field.indexes()) indexes_.push_back({&field, each.get()});
  };
  if (auto* field = dynamic_cast<TableField*>(member.get())) {
    addIndexesOf(*field);
  } else {
    for (const auto& groupField : static_cast<TableGroup&>(*member).fields()) {
      addIndexesOf(*groupField);
    }
  }
  memberMap_.emplace(member->getName(), member.get());
  members_.push_back(std::move(member));
}

TableMember* Table::findMember(std::string_view name) const {
  auto found = memberMap_.find(name);
  return found == memberMap_.end() ? nullptr : found->second;
}

void Table::clearVisited() {
  for (const auto& member : members_) {
    if (auto* field = dynamic_cast<TableField*>(member.get())) field->setVisited(false);
  }
}

TableField* Table::findUnvisited() const {
  for (const auto& member : members_) {
    auto* field = dynamic_cast<TableField*>(member.get());
    if (field != nullptr && !field->isVisited()) return field;
  }
  return nullptr;
}

void Table::writeText(TextBuffer& out) const {
  out.append(std::string_view("table "));
  out.append(name_);
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias_));
  out.append(std::string_view(" {\r\n"));
  for (const auto& member : members_) member->writeText(out, "   ");
  out.append(std::string_view("};\r\n"));
}

void Table::writeAliasLine(TextBuffer& out) const {
  out.append(name_);
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias_));
  out.append(std::string_view("\r\n"));
}

void Table::setSecurity(std::shared_ptr<TableSecurity> security) {
  security_ = std::move(security);
}

// --- Files ----------------------------------------------------------------------------------

std::string Table::filePath(std::string_view extension) const {
  return dataDirectory_ + name_ + std::string(extension);
}

void Table::writeStructureFile() const {
  const std::string fileName = name_ + ".structure";
  TextBuffer text;
  writeText(text);
  std::unique_ptr<platform::WritableFile> file;
  if (!platform::Env::current().openWritableFile(dataDirectory_ + fileName, false, &file).isOk()) {
    fileFailure("Ошибка открытия на запись "_cp866, fileName);
  }
  if (!file->append(text.pointer(), text.length()).isOk() || !file->sync().isOk()) {
    fileFailure("Ошибка записи в "_cp866, fileName);
  }
  if (!file->close().isOk()) fileFailure("Ошибка закрытия "_cp866, fileName);
}

void Table::createFiles() {
  DOVREL_ASSERT_TEXT(df_ == nullptr && metaf_ == nullptr, "df == NULL && metaf == NULL");
  const MarkerFile marker(dataDirectory_, MarkerFile::IN_CREATE);
  marker.write(name_);
  try {
    writeStructureFile();
    check(DocumentsFile::create(filePath(".table"), &df_));
    check(DocumentsFile::create(filePath(".meta"), &metaf_));
    for (const FieldIndex& each : indexes_) each.index->create();
    if (!platform::Env::current().syncDirectory(dataDirectory_).isOk()) {
      fileFailure("Ошибка записи в "_cp866, name_ + ".structure");
    }
  } catch (...) {
    // The marker stays: the next start removes whatever was created.
    closeFiles();
    throw;
  }
  marker.remove("Ошибка удаления файла in_create.txt"_cp866);
}

void Table::openFiles(OpenMode mode) {
  if (df_ != nullptr) return;
  try {
    check(DocumentsFile::open(filePath(".table"), mode, &df_));
    check(DocumentsFile::open(filePath(".meta"), mode, &metaf_));
    for (const FieldIndex& each : indexes_) each.index->open(mode);
  } catch (...) {
    closeFiles();
    throw;
  }
}

void Table::closeFiles() {
  for (const FieldIndex& each : indexes_) each.index->close();
  df_.reset();
  metaf_.reset();
}

void Table::commitPrepare() {
  if (df_ == nullptr) return;
  check(df_->commitPrepare());
  check(metaf_->commitPrepare());
  for (const FieldIndex& each : indexes_) each.index->commitPrepare();
}

void Table::commitFinish() {
  if (df_ == nullptr) return;
  check(df_->commitFinish());
  check(metaf_->commitFinish());
  for (const FieldIndex& each : indexes_) each.index->commitFinish();
}

// --- Documents ------------------------------------------------------------------------------

DocumentsFile& Table::documents() {
  DOVREL_ASSERT_TEXT(df_ != nullptr, "df != NULL");
  return *df_;
}

DocumentsFile& Table::metas() {
  DOVREL_ASSERT_TEXT(metaf_ != nullptr, "metaf != NULL");
  return *metaf_;
}

void Table::noSuchDocument(uint32_t number) const {
  throw SemanticError(std::string("документ номер "_cp866) + toDecimalString(number) +
                      std::string(" отсутствует в таблице "_cp866) + name_);
}

bool Table::isDocumentDeleted(uint32_t number) {
  bool deleted = false;
  const DocumentsFileResult result = documents().isDeleted(number, &deleted);
  if (result == DF_NO_SUCH_DOCUMENT) noSuchDocument(number);
  check(result);
  return deleted;
}

uint32_t Table::getDocumentLength(uint32_t number) {
  uint32_t length = 0;
  const DocumentsFileResult result = documents().getLength(number, &length);
  if (result == DF_NO_SUCH_DOCUMENT) noSuchDocument(number);
  check(result);
  return length;
}

void Table::readRecord(DocumentsFile& file, uint32_t number, TextBuffer& out) {
  uint32_t length = 0;
  DocumentsFileResult result = file.getLength(number, &length);
  if (result == DF_NO_SUCH_DOCUMENT) noSuchDocument(number);
  check(result);
  const uint32_t start = out.length();
  out.resize(uint64_t{start} + length);
  result = file.readDocument(number, out.pointer() + start, length);
  if (result != DF_DONE) out.resize(start);
  if (result == DF_NO_SUCH_DOCUMENT) noSuchDocument(number);
  check(result);
}

void Table::getDocument(uint32_t number, TextBuffer& out) { readRecord(documents(), number, out); }

void Table::getMeta(uint32_t number, TextBuffer& out) { readRecord(metas(), number, out); }

uint32_t Table::getLiveCount() {
  uint32_t count = 0;
  uint32_t deleted = 0;
  check(documents().getDocumentCount(&count));
  check(documents().getDeletedCount(&deleted));
  return count - deleted;
}

uint32_t Table::getNumberCount() {
  uint32_t count = 0;
  check(documents().getDocumentCount(&count));
  return count;
}

uint32_t Table::addDocument(const Document& document, const User& user) {
  const uint32_t number = store(document, false, 0, user);
  indexDocument(document, number, index::InsertMode::INSERT);
  return number;
}

uint32_t Table::replaceDocument(uint32_t replaced, const Document& document, const User& user) {
  const uint32_t number = store(document, true, replaced, user);
  indexDocument(document, number, index::InsertMode::INSERT);
  // The replaced text is read after its deletion: a deleted document's text stays readable.
  indexDocument(*Document::readStored(*this, replaced), replaced, index::InsertMode::REMOVE);
  return number;
}

void Table::deleteDocument(uint32_t number, const User& user) {
  // Read first: a number that does not exist is refused before anything changes.
  const std::unique_ptr<Document> stored = Document::readStored(*this, number);
  markDeleted(number, user);
  indexDocument(*stored, number, index::InsertMode::REMOVE);
}

void Table::indexDocument(const Document& document, uint32_t number, index::InsertMode mode) {
  for (const auto& member : document.members()) {
    TableMember* tableMember = findMember(member->getName());
    if (auto* field = dynamic_cast<const DocumentField*>(member.get())) {
      auto* tableField = dynamic_cast<TableField*>(tableMember);
      if (tableField == nullptr) notOfTheTable();
      if (!field->isNull()) tableField->indexValue(field->value(), number, mode);
      continue;
    }
    auto* tableGroup = dynamic_cast<TableGroup*>(tableMember);
    if (tableGroup == nullptr) notOfTheTable();
    for (const auto& groupField : static_cast<const DocumentGroup&>(*member).fields()) {
      TableField* tableField = tableGroup->findField(groupField->getName());
      if (tableField == nullptr) notOfTheTable();
      if (!groupField->isNull()) tableField->indexValue(groupField->value(), number, mode);
    }
  }
}

uint32_t Table::store(const Document& document, bool replacing, uint32_t replaced,
                      const User& user) {
  TextBuffer text;
  document.writeText(text);
  DocumentsFile& df = documents();
  DocumentsFile& metaf = metas();
  if (replacing && isDocumentDeleted(replaced)) throw SemanticError(alreadyDeleted(replaced));
  // The number first, with an empty record, so that the replaced document's meta record
  // can name it before the text is stored.
  uint32_t number = 0;
  check(df.addDocument(nullptr, 0, &number));
  if (replacing) markReplaced(replaced, number);
  check(df.replaceDocument(number, text.pointer(), text.length()));
  TextBuffer meta;
  MetaRecord::appendCreation(meta, user.getName(), MetaRecord::timeTextNow(), replacing, replaced);
  uint32_t metaNumber = 0;
  check(metaf.addDocument(meta.pointer(), meta.length(), &metaNumber));
  // Files that disagree on the count were damaged outside this table's control.
  if (metaNumber != number) databaseFailure();
  return number;
}

void Table::readMetaForUpdate(uint32_t number, TextBuffer& out) {
  uint32_t length = 0;
  check(metas().getLength(number, &length));
  out.resize(length);
  check(metas().readDocument(number, out.pointer(), length));
}

void Table::markReplaced(uint32_t replaced, uint32_t replacement) {
  check(documents().deleteDocument(replaced));
  TextBuffer meta;
  readMetaForUpdate(replaced, meta);
  if (!MetaRecord::markReplacedBy(meta, replacement)) databaseFailure();
  check(metas().replaceDocument(replaced, meta.pointer(), meta.length()));
}

void Table::markDeleted(uint32_t number, const User& user) {
  if (isDocumentDeleted(number)) throw SemanticError(alreadyDeleted(number));
  check(documents().deleteDocument(number));
  TextBuffer meta;
  readMetaForUpdate(number, meta);
  if (!MetaRecord::markDeleted(meta, user.getName(), MetaRecord::timeTextNow())) {
    databaseFailure();
  }
  check(metas().replaceDocument(number, meta.pointer(), meta.length()));
}

}  // namespace dovrel
