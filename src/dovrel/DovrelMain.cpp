// The dovrel server program: start-up in its fixed order (network permissions, query
// parser, query journal with its crash replay), then the accept loop on the main thread.
#include <memory>

#include "dovrel/ParserExecutor.h"
#include "foundation/InstanceFiles.h"
#include "permissions/NetworkPermissions.h"
#include "query/Parser.h"
#include "server/Logger.h"
#include "server/Server.h"

namespace {

using namespace dovrel;
using namespace dovrel::server;
using namespace dovrel::permissions;

}  // namespace

int main(int argc, char** argv) {
  ServerFactories factories;
  factories.peerFilter = [](const ServerPaths& paths) {
    return std::make_shared<NetworkPermissions>(
        paths.besideData(instance::NETWORK_PERMISSIONS_FILE));
  };
  factories.executor = [](const ServerPaths& paths, const ServerComponents& made) {
    const query::ParserFiles files = query::ParserFiles::inBaseDirectory(paths.baseDir);
    auto permissions = std::dynamic_pointer_cast<NetworkPermissions>(made.peerFilter);
    return std::make_shared<ParserExecutor>(
        std::make_unique<query::Parser>(files, std::move(permissions)));
  };
  factories.journal = [](const ServerPaths& paths, const ServerComponents& made) {
    return std::make_shared<Logger>(paths.logDir, *made.executor);
  };
  return serverMain(argc, argv, factories);
}
