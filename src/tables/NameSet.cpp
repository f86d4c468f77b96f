// The selection of document parts by name. Query thread.
#include "tables/NameSet.h"

namespace dovrel {

namespace {

std::string groupEntry(std::string_view group, std::string_view field) {
  std::string entry(group);
  entry += '.';
  entry += field;
  return entry;
}

}  // namespace

void NameSet::addName(std::string_view name) { names_.emplace(name); }

void NameSet::addGroupField(std::string_view group, std::string_view field) {
  names_.insert(groupEntry(group, ""));
  names_.insert(groupEntry(group, field));
}

bool NameSet::containsName(std::string_view name) const { return names_.contains(name); }

bool NameSet::containsGroup(std::string_view group) const {
  return names_.contains(groupEntry(group, ""));
}

bool NameSet::containsGroupField(std::string_view group, std::string_view field) const {
  return names_.contains(groupEntry(group, field));
}

}  // namespace dovrel
