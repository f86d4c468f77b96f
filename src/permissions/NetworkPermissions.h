// The network permissions of the server: the current rule list, loaded from
// "network_permissions.txt" at start-up and replaced whole by an administrator's query.
// isAllowed runs on the accept loop's thread while replace may run on a connection thread
// (under the parser semaphore): the list is swapped under a short lock, and a check that
// still holds the old list keeps it alive until it is done.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "permissions/NetworkPermissionList.h"
#include "permissions/PeerFilter.h"
#include "platform/Arp.h"
#include "storage/ReliableFile.h"

namespace dovrel::permissions {

class NetworkPermissions final : public PeerFilter, public Object {
 public:
  // Loads and parses the permission file at `path` (with its ".bak" recovery). Throws
  // DiskOrMemoryError when the file cannot be read (a missing file included) and TextError
  // when it does not parse; either way the server does not start. MAC rules are checked
  // against the ARP table at `arpTablePath` (tests pass a file of their own).
  explicit NetworkPermissions(std::string path,
                              std::string arpTablePath = platform::ARP_TABLE_PATH);

  // Whether the peer may connect. When only MAC rules can admit it, its MAC address is
  // looked up in the ARP table; a refusal on that ground prints "не подошёл mac " + the
  // MAC + "\n" (00-00-00-00-00-00 for a peer missing from the table). Any thread.
  bool isAllowed(uint32_t ipAddress) override;

  // The command that sets the permissions: parses `text` into a new list, saves the exact
  // bytes to the file, and only then makes the list current. Throws SemanticError with
  // "Неверный формат нового файла сетевых разрешений: " + the parse message when the text
  // does not parse, and DiskOrMemoryError when the save fails; in both cases the current
  // list stays in force. Called with the parser semaphore held.
  void replace(TextView text);

  // The text of the current rules, each in its text form followed by CR LF: what the
  // command that gets the permissions answers (in counted form). Any thread.
  std::string toText() const;

  // The list in force now; it stays valid for as long as the caller holds it.
  std::shared_ptr<const NetworkPermissionList> current() const;

 private:
  ReliableFile file_;
  const std::string arpTablePath_;
  mutable std::mutex mutex_;  // guards current_ only, for the time of a pointer copy
  std::shared_ptr<const NetworkPermissionList> current_;
};

}  // namespace dovrel::permissions
