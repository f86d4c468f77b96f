// The permission list in force, its file, and the accept loop's check. The list is
// immutable; replacing it swaps a shared pointer under mutex_, so a check on the accept
// loop sees either the old list or the new one, whole, and the old list lives until the
// last check that copied it lets go.
#include "permissions/NetworkPermissions.h"

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "permissions/NetworkAddress.h"

namespace dovrel::permissions {

NetworkPermissions::NetworkPermissions(std::string path, std::string arpTablePath)
    : file_(std::move(path)), arpTablePath_(std::move(arpTablePath)) {
  TextBuffer text;
  if (ReliableFileResult result = file_.load(text)) {
    throw DiskOrMemoryError(file_.failureText(result));
  }
  current_ = NetworkPermissionList::parse(text.view());
}

std::shared_ptr<const NetworkPermissionList> NetworkPermissions::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

bool NetworkPermissions::isAllowed(uint32_t ipAddress) {
  const std::shared_ptr<const NetworkPermissionList> list = current();
  switch (list->checkIp(ipAddress)) {
    case IP_ALLOWED:
      return true;
    case IP_NOT_MATCHED:
      return false;
    case MAC_NEEDED:
      break;
  }
  const uint64_t mac = platform::lookupMac(ipAddress, arpTablePath_);
  if (list->checkMac(ipAddress, mac)) return true;
  std::string message("не подошёл mac "_cp866);
  message += macToText(mac);
  message += '\n';
  consolePrint(message);
  return false;
}

void NetworkPermissions::replace(TextView text) {
  std::shared_ptr<const NetworkPermissionList> list;
  try {
    list = NetworkPermissionList::parse(text);
  } catch (const TextError& error) {
    std::string message("Неверный формат нового файла сетевых разрешений: "_cp866);
    message += error.text();
    throw SemanticError(std::move(message));
  }
  // Saved before it takes effect: a failed save leaves the old list both in force and on
  // disk, so the refusal that the administrator sees is the whole truth.
  if (ReliableFileResult result = file_.save(text)) {
    throw DiskOrMemoryError(file_.failureText(result));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  current_.swap(list);
  // The old list, now in `list`, is released after the lock, possibly by a check that
  // still uses it.
}

std::string NetworkPermissions::toText() const { return current()->toText(); }

}  // namespace dovrel::permissions
