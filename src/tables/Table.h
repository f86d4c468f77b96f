// Table: one table of the database — its structure (top-level fields and groups), its two
// documents files (NAME.table for document texts, NAME.meta for meta records), the flat
// list of its indexes (each owned by its field), and its security record. It numbers,
// stores and deletes documents, keeps their index keys in step with what it stores, and
// drives the two-phase commit of all its files. Owned by the table set; used only by the
// thread that runs queries or the start-up.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "index/MergeIndexTypes.h"
#include "storage/OpenMode.h"

namespace dovrel {

namespace index {
class TableIndex;
}

class Document;
class DocumentsFile;
class Scanner;
class TableField;
class TableMember;
class TableSecurity;
class TextBuffer;
class User;

// Errors: a document number that does not exist is SemanticError "документ номер " + n +
// " отсутствует в таблице " + name; a deleted one where a live one is needed "документ " +
// n + " уже удалён/заменён"; every failure of the files DiskOrMemoryError
// "ошибка работы с БД" (the indexes: "ошибка работы с индексом"), after which the caller
// must not commit.
class Table : public Object {
 public:
  // Reads `table` NAME `alias` STRING `{` { field | group } `}` `;` with the scanner on
  // the keyword. Fields and groups share one name space ("повторное объявление имени " +
  // full name); the members' own errors otherwise. The table's files (and its index
  // files) are in `dataDirectory`, which ends with its separator or is empty. No file is
  // touched.
  static std::shared_ptr<Table> read(Scanner& scanner, std::string dataDirectory);

  // One index of the table with the field it belongs to; both live as long as the table.
  struct FieldIndex {
    TableField* field;
    index::TableIndex* index;
  };

  // Releases the files without writing: what was not committed stays uncommitted.
  ~Table() override;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  const std::string& getName() const { return name_; }
  const std::string& alias() const { return alias_; }
  const std::string& dataDirectory() const { return dataDirectory_; }

  // Declaration order; the table owns them.
  const std::vector<std::unique_ptr<TableMember>>& members() const { return members_; }
  // The top-level field or group of that short name, or null.
  TableMember* findMember(std::string_view name) const;
  // The visited flags of the top-level fields (groups are not touched).
  void clearVisited();
  TableField* findUnvisited() const;
  // Every index of the table in declaration order (members, a group's fields, a field's
  // indexes), built when the structure is read. Every index file operation of the table
  // walks this list.
  const std::vector<FieldIndex>& indexes() const { return indexes_; }

  // The structure text: "table " name " alias " counted alias " {" CR LF, the members at
  // three spaces of indent, "};" CR LF. It reads back into an equal table.
  void writeText(TextBuffer& out) const;
  // name " alias " counted alias CR LF.
  void writeAliasLine(TextBuffer& out) const;

  // Creates the table's files under the guard of "in_create.txt" and leaves them open:
  // marker, structure file, documents files, index files, marker removed. Requires closed
  // files. A failure leaves the marker (the next start removes the files) and the files
  // closed.
  void createFiles();
  // Opens the documents files and the index files in `mode`; nothing when open already. A
  // failure leaves every file closed.
  void openFiles(OpenMode mode);
  bool filesOpen() const { return df_ != nullptr; }
  // The two commit phases of every file of the table; nothing when the files are closed.
  void commitPrepare();
  void commitFinish();
  // Releases every file (documents and indexes) without writing.
  void closeFiles();

  // The document operations require open files.
  bool isDocumentDeleted(uint32_t number);
  uint32_t getDocumentLength(uint32_t number);
  // Append the stored document text / meta record to `out`.
  void getDocument(uint32_t number, TextBuffer& out);
  void getMeta(uint32_t number, TextBuffer& out);
  // Documents not deleted; document numbers given so far (deleted ones included).
  uint32_t getLiveCount();
  uint32_t getNumberCount();

  // The three changes of the documents keep the indexes in step with what is stored. The
  // document must have passed Document::validate against this table. Each change is done
  // in this order, and a failure stops it where it happened (a DiskOrMemoryError forbids
  // the next commit, so what a half-done change left is never committed):
  //   add: the canonical text and the meta record stored, then the document's keys;
  //   replace: as add, `replaced` (which must be live) deleted and its meta record naming
  //     the new document before the text is stored, then the keys of `replaced` withdrawn;
  //   delete: the stored text read, the document (which must be live) deleted and its meta
  //     record marked, then its keys withdrawn.
  // add and replace return the new document's number.
  uint32_t addDocument(const Document& document, const User& user);
  uint32_t replaceDocument(uint32_t replaced, const Document& document, const User& user);
  void deleteDocument(uint32_t number, const User& user);

  const std::shared_ptr<TableSecurity>& getSecurity() const { return security_; }
  void setSecurity(std::shared_ptr<TableSecurity> security);

 private:
  Table(std::string name, std::string alias, std::string dataDirectory);
  void addMember(std::unique_ptr<TableMember> member);
  std::string filePath(std::string_view extension) const;
  DocumentsFile& documents();
  DocumentsFile& metas();
  // Reads record `number` of `file` into `out`, with the errors of the read operations.
  void readRecord(DocumentsFile& file, uint32_t number, TextBuffer& out);
  // Reads meta record `number` of a document that exists in NAME.table: every failure,
  // a missing record included, is the files' DiskOrMemoryError.
  void readMetaForUpdate(uint32_t number, TextBuffer& out);
  // Writes the structure file, synced.
  void writeStructureFile() const;
  // Deletes document `replaced` and points its meta record at `replacement`.
  void markReplaced(uint32_t replaced, uint32_t replacement);
  // Stores the canonical text of `document` as a new document with its meta record and
  // returns its number; with `replacing`, marks `replaced` as above. No index is touched.
  uint32_t store(const Document& document, bool replacing, uint32_t replaced, const User& user);
  // Deletes a live document and records who deleted it and when. No index is touched.
  void markDeleted(uint32_t number, const User& user);
  // Hands every non-null value of the document to its field's indexes under `number`
  // (INSERT records the keys, REMOVE withdraws them). A member the table lacks is taken
  // for a damaged stored document: DiskOrMemoryError "ошибка работы с БД".
  void indexDocument(const Document& document, uint32_t number, index::InsertMode mode);
  [[noreturn]] void noSuchDocument(uint32_t number) const;

  std::string name_;
  std::string alias_;
  std::string dataDirectory_;
  // Both open or both empty.
  std::shared_ptr<DocumentsFile> df_;
  std::shared_ptr<DocumentsFile> metaf_;
  std::vector<std::unique_ptr<TableMember>> members_;
  std::map<std::string, TableMember*, std::less<>> memberMap_;
  std::vector<FieldIndex> indexes_;
  std::shared_ptr<TableSecurity> security_;
};

}  // namespace dovrel
