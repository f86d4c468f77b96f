// TableIndex: one named index of a table field — its declaration in the structure text,
// its merge index file (data directory + full name + ".index"), the keys it records for
// document values, and the searches the query language runs on it. Owned by its table
// field; used only by the thread that runs queries (or the start-up that loads tables).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "index/MergeIndexTypes.h"
#include "keys/DocNumList.h"
#include "keys/IndexDeclaration.h"
#include "keys/NumPairList.h"
#include "keys/SortOrder.h"
#include "storage/OpenMode.h"

namespace dovrel {
class Scanner;
class TextBuffer;
}  // namespace dovrel

namespace dovrel::index {

class MergeIndex;

// Failures of the merge index below become DiskOrMemoryError "ошибка работы с индексом";
// refusals of what a query asked (an operation the kind does not offer, a value that does
// not convert, a key listing of length 0 or from other than 0) are SemanticErrors and
// change nothing. Every search ends the merge index search before it returns or throws.
class TableIndex : public Object {
 public:
  // `dataDirectory` ends with its separator (or is empty for the current directory).
  TableIndex(IndexDeclaration declaration, std::string dataDirectory);
  // Reads `index` NAME STRING `;` with the scanner on the keyword (IndexDeclaration::read):
  // the scanner's TextError or SemanticError for a bad kind text. Whether the kind suits
  // the field type is the caller's check (compatible()).
  static std::unique_ptr<TableIndex> read(Scanner& scanner, std::string_view fieldFullName,
                                          FieldType fieldType, std::string dataDirectory);
  // Closes the merge index if it is open: committed indexes orderly, an index with
  // uncommitted changes without writing anything (as a crash would leave it).
  ~TableIndex() override;
  TableIndex(const TableIndex&) = delete;
  TableIndex& operator=(const TableIndex&) = delete;

  const std::string& name() const { return declaration_.name(); }
  // The field's full name, ".", the index name.
  const std::string& fullName() const { return declaration_.fullName(); }
  const IndexKind& spec() const { return declaration_.spec(); }
  FieldType fieldType() const { return declaration_.fieldType(); }
  // The kind without its options ("words", "words-near3", ...).
  std::string baseKind() const { return declaration_.spec().baseText(); }
  bool compatible() const { return declaration_.compatible(); }
  // indent "index " name " " counted kind text ";" CR LF.
  void write(TextBuffer& out, std::string_view indent) const;
  const std::string& filePath() const { return path_; }

  // Creates the index file, empty and committed, and keeps it open. Requires a closed
  // index. DiskOrMemoryError "Не удалось создать файл " + path.
  void create();
  // Opens the file in `mode`. Requires a closed index. DiskOrMemoryError
  // "Не удалось открыть файл индекса " + path.
  void open(OpenMode mode);
  bool isOpen() const { return idx_ != nullptr; }
  // The two commit phases of the open index.
  void commitPrepare();
  void commitFinish();
  // Closes the file (see the destructor); nothing happens when it is closed already.
  void close();

  // Records (INSERT) or withdraws (REMOVE) every document key of `value` for `document`.
  // A value of a typed field must have passed the field's check.
  void addDocument(uint32_t document, TextView value, InsertMode mode);

  // The searches: ascending document numbers of the keys in the relation to the query key
  // of `value`, in the search mode.
  OrderedListPtr equal(TextView value, SearchMode mode);
  OrderedListPtr prefix(TextView value, SearchMode mode);
  OrderedListPtr less(TextView value, SearchMode mode);
  OrderedListPtr lessOrEqual(TextView value, SearchMode mode);
  OrderedListPtr greater(TextView value, SearchMode mode);
  OrderedListPtr greaterOrEqual(TextView value, SearchMode mode);
  OrderedListPtr notEqual(TextView value, SearchMode mode);
  // The keys from the first not smaller than `from` up to and including `to`.
  OrderedListPtr range(TextView from, TextView to, SearchMode mode);

  // The number of keys visible in the mode.
  uint64_t countKeys(SearchMode mode);
  // Lists up to `length` keys, each as a counted string and CR LF (typed keys decoded):
  // forwards from the smallest key not smaller than the query key of `value`, or with
  // `reverse` backwards from the greatest key not greater than it.
  void listKeysFrom(TextView value, bool reverse, uint32_t length, SearchMode mode,
                    TextBuffer& out);
  // Lists up to `length` keys from the first key; `from` must be 0.
  void listKeysFromStart(uint32_t from, uint32_t length, SearchMode mode, TextBuffer& out);

  // The (document, key ordinal) pairs for ordering a result by this index: the k-th key in
  // ascending order has ordinal k.
  NumPairList sortPairs(SearchMode mode);
  // What ordering by this index needs in the mode, read once and kept until the index
  // changes, is reopened or closed.
  std::shared_ptr<const SortOrder> sortOrder(SearchMode mode);
  // A bounded amount of merging (the optimize index command).
  OptimizeResult optimize();

  // For diagnostics and tests: the open merge index, or null.
  const MergeIndex* mergeIndex() const { return idx_.get(); }

 private:
  MergeIndex& requireOpen();
  // Collects the keys in the comparison with the query key (see the .cpp).
  enum class Comparison { LESS, LESS_OR_EQUAL, GREATER, GREATER_OR_EQUAL, NOT_EQUAL };
  OrderedListPtr compare(Comparison comparison, TextView value, SearchMode mode);

  // The kept sort order of `mode` while it still describes the index, else null.
  const SortOrder* currentSortOrder(SearchMode mode) const;

  IndexDeclaration declaration_;
  std::string path_;
  std::unique_ptr<MergeIndex> idx_;
  // Per search mode: the sort order and the change count it was read at.
  std::array<std::shared_ptr<const SortOrder>, 3> sortOrders_;
  std::array<uint64_t, 3> sortOrderChanges_{};
};

}  // namespace dovrel::index
