// DocumentGroup: a named group of fields in a document (groups hold fields only and carry
// no alias). Query thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tables/DocumentMember.h"

namespace dovrel {

class DocumentField;
class Scanner;

class DocumentGroup : public DocumentMember {
 public:
  // Reads `group` NAME `{` { field } `}` `;` with the scanner on the keyword. Throws the
  // scanner's TextError, or SemanticError "повторное использование имени " + name +
  // " в одной группе" for a field named twice.
  static std::shared_ptr<DocumentGroup> read(Scanner& scanner);
  // An empty group of that name, to be filled by addField (projections).
  static std::shared_ptr<DocumentGroup> create(std::string name);
  ~DocumentGroup() override;

  // In text order.
  const std::vector<std::shared_ptr<DocumentField>>& fields() const { return fields_; }
  // The field of that short name, or an empty handle.
  std::shared_ptr<DocumentField> findField(std::string_view name) const;
  // Appends a field; a name already in the group is the SemanticError above.
  void addField(std::shared_ptr<DocumentField> field);

  // indent "group " name " {" CR LF, the fields one level deeper, indent "};" CR LF.
  void writeText(TextBuffer& out, std::string_view indent) const override;

 private:
  explicit DocumentGroup(std::string name);

  std::vector<std::shared_ptr<DocumentField>> fields_;
  std::map<std::string, std::shared_ptr<DocumentField>, std::less<>> fieldMap_;
};

}  // namespace dovrel
