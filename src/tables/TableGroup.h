// TableGroup: a named group of fields in a table structure (groups hold fields only; they
// do not nest). Owned by its table; used only by the thread that runs queries or the
// start-up.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tables/TableMember.h"

namespace dovrel {

class Scanner;
class TableField;

class TableGroup : public TableMember {
 public:
  // Reads a group declaration with the scanner on the keyword `group`:
  //   group NAME alias STRING { {field ...} } ;
  // `prefix` is the table's name and '.'. Throws the scanner's TextError, the fields'
  // SemanticErrors, or SemanticError "повторное объявление поля " + full name.
  static std::unique_ptr<TableGroup> read(Scanner& scanner, std::string_view prefix,
                                          const std::string& dataDirectory);
  ~TableGroup() override;

  // In declaration order; the group owns them.
  const std::vector<std::unique_ptr<TableField>>& fields() const { return fields_; }
  // The field of that short name, or null.
  TableField* findField(std::string_view name) const;
  // The visited flags of the group's fields, for the check of a document's group.
  void clearVisited();
  // The first field (declaration order) whose flag is clear, or null.
  TableField* findUnvisited() const;

  void writeText(TextBuffer& out, std::string_view indent) const override;

 private:
  TableGroup(std::string name, std::string alias, std::string fullName);
  void addField(std::unique_ptr<TableField> field);

  std::vector<std::unique_ptr<TableField>> fields_;
  std::map<std::string, TableField*, std::less<>> fieldMap_;
};

}  // namespace dovrel
