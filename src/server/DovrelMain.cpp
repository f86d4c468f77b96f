// The dovrel server program. Runs start-up and the accept loop on the main thread.
#include "server/Server.h"
#include "server/StandInExecutor.h"

int main(int argc, char** argv) {
  using namespace dovrel::server;
  ServerFactories factories;
  factories.executor = [](const ServerPaths&, const ServerComponents&) {
    return std::make_shared<StandInExecutor>();
  };
  return serverMain(argc, argv, factories);
}
