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
  static std::shared_ptr<TableGroup> read(Scanner& scanner, std::string_view prefix,
                                          const std::string& dataDirectory);
  ~TableGroup() override;

  // In declaration order.
  const std::vector<std::shared_ptr<TableField>>& fields() const { return fields_; }
  // The field of that short name, or an empty handle.
  std::shared_ptr<TableField> findField(std::string_view name) const;
  // The visited flags of the group's fields, for the check of a document's group.
  void clearVisited();
  // The first field (declaration order) whose flag is clear, or an empty handle.
  std::shared_ptr<TableField> findUnvisited() const;

  void writeText(TextBuffer& out, std::string_view indent) const override;
  void createIndexes() override;
  void openIndexes(OpenMode mode) override;
  void commitPrepare() override;
  void commitFinish() override;
  void closeIndexes() override;

 private:
  TableGroup(std::string name, std::string alias, std::string fullName);
  void addField(std::shared_ptr<TableField> field);

  std::vector<std::shared_ptr<TableField>> fields_;
  std::map<std::string, std::shared_ptr<TableField>, std::less<>> fieldMap_;
};

}  // namespace dovrel
