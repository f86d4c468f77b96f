// The network permission commands: an administrator replaces the whole permission text or
// reads it back. Query thread only, under the parser; the accept loop may check peers
// against the same list meanwhile, which NetworkPermissions allows.
#include "query/NetworkPermissionCommands.h"

#include "foundation/Cp866.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "permissions/NetworkPermissions.h"
#include "principals/User.h"
#include "query/Answer.h"
#include "query/Parser.h"
#include "query/PrivilegeGate.h"
#include "security/SecurityQuery.h"

namespace dovrel::query {

namespace {

// The store, or the refusal of a parser that was made without one.
permissions::NetworkPermissions& permissionsOf(Parser& parser) {
  permissions::NetworkPermissions* store = parser.networkPermissions();
  if (store == nullptr) refuseUnsupported();
  return *store;
}

}  // namespace

void runSetNetworkPermissions(Parser& parser, const std::shared_ptr<User>& user,
                              TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("set");
  scanner.expectKeyword("network");
  scanner.expectKeyword("permissions");
  const TextView text = scanner.expectString();
  scanner.expectCommandEnd();
  // Opened before the rights check, so that an attempt by somebody else is on record too.
  SecurityQuery entry(parser.securityLog(), parser.queryText());
  requireAdmin(*user, "установки сетевых разрешений"_cp866);
  permissionsOf(parser).replace(text);
  entry.success();
  writeOk(answer);
}

void runGetNetworkPermissions(Parser& parser, const std::shared_ptr<User>& user,
                              TextBuffer& answer) {
  requireAdmin(*user, "получения сетевых разрешений"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("network");
  scanner.expectKeyword("permissions");
  scanner.expectCommandEnd();
  const std::string text = permissionsOf(parser).toText();
  writeOkCounted(answer, TextView(text));
}

}  // namespace dovrel::query
