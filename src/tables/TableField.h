// TableField: a typed field of a table structure with its null rule and its indexes; it
// checks document values against its type and hands them to its indexes. Owned by its
// table or group, and owns its indexes; used only by the thread that runs queries or the start-up.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/TextView.h"
#include "index/MergeIndexTypes.h"
#include "keys/FieldType.h"
#include "tables/TableMember.h"

namespace dovrel {

class Scanner;

namespace index {
class TableIndex;
}

class TableField : public TableMember {
 public:
  // Reads a field declaration with the scanner on the keyword `field`:
  //   field NAME alias STRING : TYPE [null] { {index NAME STRING ;} } ;
  // `prefix` is the parent's full name and '.'; index files live in `dataDirectory`.
  // Throws the scanner's TextError, or SemanticError for an unknown type, an index kind
  // that does not suit the type, or an index declared twice.
  static std::unique_ptr<TableField> read(Scanner& scanner, std::string_view prefix,
                                          const std::string& dataDirectory);
  ~TableField() override;

  index::FieldType type() const { return type_; }
  std::string_view typeKeyword() const { return index::fieldTypeKeyword(type_); }
  bool nullAllowed() const { return nullAllowed_; }

  // The flag the document check sets for each field a document supplies.
  bool isVisited() const { return visited_; }
  void setVisited(bool visited) { visited_ = visited; }

  // In declaration order; the field owns them.
  const std::vector<std::unique_ptr<index::TableIndex>>& indexes() const { return indexes_; }
  // The index of that short name, or null.
  index::TableIndex* findIndex(std::string_view name) const;

  // Whether the value fits the type: text and binary take anything; int64, double, date,
  // time and datetime must convert; a file value is a header block with a "File-Path: "
  // line naming a path without '?' and '/', followed at once by an empty line.
  bool checkValue(TextView value) const;
  // Records (INSERT) or withdraws (REMOVE) the value's keys in every index, in declaration
  // order. Text is folded to upper case by the key building; the value is not changed.
  void indexValue(TextView value, uint32_t document, index::InsertMode mode);

  void writeText(TextBuffer& out, std::string_view indent) const override;

  // The rule for values of type file, on its own.
  static bool fileHeaderFits(TextView value);

 private:
  TableField(std::string name, std::string alias, std::string fullName, index::FieldType type,
             bool nullAllowed);
  // Appends an index after the checks of kind and name.
  void addIndex(std::unique_ptr<index::TableIndex> added);

  index::FieldType type_;
  bool nullAllowed_;
  bool visited_ = true;
  std::vector<std::unique_ptr<index::TableIndex>> indexes_;
  std::map<std::string, index::TableIndex*, std::less<>> indexMap_;
};

}  // namespace dovrel
