// The network permissions as the commands that set and get them see them: the permission
// text, replaced whole and read back. The server's permission list implements it, so the
// query layer reaches the list without knowing the server. Called by the thread that runs
// queries, while the accept loop may be checking peers against the same list.
#pragma once

#include <string>

#include "foundation/TextView.h"

namespace dovrel::query {

class NetworkPermissionStore {
 public:
  // Parses `text` into a new rule list, saves the exact bytes, then makes the list
  // current. SemanticError "Неверный формат нового файла сетевых разрешений: " + the parse
  // message when it does not parse, DiskOrMemoryError when the save fails; either way the
  // rules in force stay as they were.
  virtual void replace(TextView text) = 0;
  // Every rule of the current list in its text form, each followed by CR LF.
  virtual std::string toText() const = 0;

 protected:
  ~NetworkPermissionStore() = default;
};

}  // namespace dovrel::query
