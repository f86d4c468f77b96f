// TablePrivilege: the registry of the seven privileges and the readers of privilege names.
// The registry is constant; the readers run on the thread that owns the scanner.
#include "principals/TablePrivilege.h"

#include <string>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"

namespace dovrel {

namespace {

constexpr std::array<TablePrivilege, TablePrivilege::COUNT> ALL = {
    TablePrivilege::STRUCTURE, TablePrivilege::SELECT,   TablePrivilege::INSERT,
    TablePrivilege::UPDATE,    TablePrivilege::OPTIMIZE, TablePrivilege::META,
    TablePrivilege::HISTORY};

constexpr std::array<std::string_view, TablePrivilege::COUNT> NAMES = [] {
  std::array<std::string_view, TablePrivilege::COUNT> names{};
  for (unsigned i = 0; i < TablePrivilege::COUNT; ++i) names[i] = ALL[i].name();
  return names;
}();

// The privileges are looked up by name and by index, so both must be unique and dense.
constexpr bool registryIsConsistent() {
  for (unsigned i = 0; i < TablePrivilege::COUNT; ++i) {
    if (ALL[i].index() != i) return false;
    for (unsigned j = 0; j < i; ++j) {
      if (NAMES[i] == NAMES[j]) return false;
    }
  }
  return true;
}
static_assert(registryIsConsistent(), "privilege indexes must be dense and names unique");

}  // namespace

const std::array<std::string_view, TablePrivilege::COUNT>& TablePrivilege::names() { return NAMES; }

const TablePrivilege& TablePrivilege::at(unsigned index) {
  DOVREL_ASSERT(index < COUNT);
  return ALL[index];
}

const TablePrivilege& findPrivilege(std::string_view name) {
  for (const TablePrivilege& p : ALL) {
    if (p.name() == name) return p;
  }
  throw SemanticError(std::string("не найдена привилегия с именем "_cp866) + std::string(name));
}

PrivilegeSet readPrivilegeList(Scanner& scanner) {
  PrivilegeSet set;
  set.add(findPrivilege(scanner.expectName("привилегии"_cp866)));
  while (scanner.kind() == TOKEN_COMMA) {
    scanner.next();
    set.add(findPrivilege(scanner.expectName("привилегии"_cp866)));
  }
  return set;
}

}  // namespace dovrel
