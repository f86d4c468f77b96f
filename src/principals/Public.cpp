// Public: the built-in role. Called by the security store and the query thread.
#include "principals/Public.h"

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel {

std::shared_ptr<Public> Public::create() { return std::shared_ptr<Public>(new Public()); }

Public::Public() { setName("public"); }

Public::~Public() = default;

void Public::writeMembership(std::string_view, TextBuffer&) const {}

void Public::writeDefinition(std::string_view, TextBuffer&) const {}

void Public::readBody(Scanner&, const PrincipalLookup&) {
  throw SemanticError("public не должны читать в явном виде"_cp866);
}

}  // namespace dovrel
