// TableMember: a top-level member of a table structure — a field or a group — with its
// short and full names, its alias, its declaration text and the index files beneath it.
// Owned by the table (and, for fields of a group, by the group); used only by the thread
// that runs queries or the start-up that loads tables.
#pragma once

#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "storage/OpenMode.h"

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
  // The index files of every index beneath the member, in declaration order: created
  // (and left open), opened in `mode`, committed in two phases, closed. Failures are
  // DiskOrMemoryErrors.
  virtual void createIndexes() = 0;
  virtual void openIndexes(OpenMode mode) = 0;
  virtual void commitPrepare() = 0;
  virtual void commitFinish() = 0;
  virtual void closeIndexes() = 0;

 protected:
  TableMember(std::string name, std::string alias, std::string fullName);

 private:
  std::string name_;
  std::string alias_;
  std::string fullName_;
};

}  // namespace dovrel
