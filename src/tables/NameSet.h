// NameSet: the parts of a document that a client selected (the `only` list of get
// document): top-level names, and fields of groups. Built per query; query thread.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"

namespace dovrel {

class NameSet : public Object {
 public:
  // A top-level field, or a whole group. Names never hold '.'.
  void addName(std::string_view name);
  // One field of a group (the field name is never empty).
  void addGroupField(std::string_view group, std::string_view field);

  bool containsName(std::string_view name) const;
  // True when some field of the group was added.
  bool containsGroup(std::string_view group) const;
  bool containsGroupField(std::string_view group, std::string_view field) const;

 private:
  // Entries: "n" for a name; "g." and "g.f" for a field of a group.
  std::set<std::string, std::less<>> names_;
};

}  // namespace dovrel
