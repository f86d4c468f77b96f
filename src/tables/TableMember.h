// TableMember: a top-level member of a table structure — a field or a group — with its
// short and full names, its alias and its declaration text. Owned by the table (and, for
// fields of a group, by the group); used only by the thread that runs queries or the
// start-up that loads tables. The index files beneath a member are driven by the table
// through its flat list of indexes, not through the members.
#pragma once

#include <string>
#include <string_view>

#include "foundation/Poolable.h"

namespace dovrel {

class TextBuffer;

class TableMember : public Object {
 public:
  ~TableMember() override;
  TableMember(const TableMember&) = delete;
  TableMember& operator=(const TableMember&) = delete;

  // The short name as declared (lower case, never holding a '.').
  const std::string& getName() const { return name_; }
  // The dotted name: table.name, or table.group.name for a field of a group.
  const std::string& getFullName() const { return fullName_; }
  // Any bytes; written as a counted string.
  const std::string& alias() const { return alias_; }

  // Appends the member's declaration, every line opened by `indent`, CR LF line ends.
  virtual void writeText(TextBuffer& out, std::string_view indent) const = 0;

 protected:
  TableMember(std::string name, std::string alias, std::string fullName);

 private:
  std::string name_;
  std::string alias_;
  std::string fullName_;
};

}  // namespace dovrel
