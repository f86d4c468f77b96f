// The names shared by the fields and groups of a table structure. Query thread or start-up.
#include "tables/TableMember.h"

#include <utility>

namespace dovrel {

TableMember::TableMember(std::string name, std::string alias, std::string fullName)
    : name_(std::move(name)), alias_(std::move(alias)), fullName_(std::move(fullName)) {}

TableMember::~TableMember() = default;

}  // namespace dovrel
