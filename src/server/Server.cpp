// Start-up in its fixed order, and the accept loop with the peer check and the admission
// throttle. Main thread, except stop().
#include "server/Server.h"

#include <string>
#include <vector>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Failure.h"
#include "foundation/InstanceFiles.h"
#include "platform/Clock.h"
#include "platform/DirectoryLock.h"
#include "platform/Process.h"
#include "platform/ProcessLimits.h"
#include "server/AdmissionQueue.h"
#include "server/CommandLine.h"
#include "server/Connection.h"
#include "server/StandInExecutor.h"

namespace dovrel::server {

namespace {

// A refused factory's message, printed as it is (no line feed added).
template <typename Make>
bool makeComponent(Make make) {
  return handleFailures(
      [&] {
        make();
        return true;
      },
      [](const Failure& failure) {
        consolePrint(failure.text);
        return false;
      });
}

}  // namespace

std::string ipAddressText(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

Server::Server(ServerPaths paths, ServerOptions options, TickClock* clock)
    : paths_(std::move(paths)),
      options_(std::move(options)),
      clock_(clock != nullptr ? *clock : systemClock_) {}

bool Server::start(int port, const ServerFactories& factories, uint32_t address) {
  if (!listener_.open().isOk()) {
    consolePrint("ошибка создания сокета (socket)\n"_cp866);
    return false;
  }
  if (!listener_.bind(static_cast<uint16_t>(port), address).isOk()) {
    listener_.close();
    consolePrint("ошибка привязки сокета к порту (bind)\n"_cp866);
    return false;
  }
  if (!listener_.listen(LISTEN_BACKLOG).isOk()) {
    listener_.close();
    consolePrint("ошибка прослушивания сокета (listen)\n"_cp866);
    return false;
  }
  port_ = listener_.port();

  const bool made = makeComponent([&] {
    components_.peerFilter = factories.peerFilter ? factories.peerFilter(paths_)
                                                  : std::make_shared<permissions::AllowAllPeers>();
    components_.executor = factories.executor ? factories.executor(paths_, components_)
                                              : std::make_shared<StandInExecutor>();
    components_.journal = factories.journal ? factories.journal(paths_, components_)
                                            : std::make_shared<NullQueryJournal>();
  });
  if (!made) {
    listener_.close();
    return false;
  }
  DOVREL_ASSERT(components_.peerFilter && components_.executor && components_.journal);
  core_ = std::make_shared<ServerCore>(options_, components_.executor, components_.journal);
  return true;
}

int Server::acceptLoop() {
  // Every descriptor the administrator allows, and connections capped below it, so that
  // idle peers can never take the descriptors the tables and the accept itself need.
  const uint64_t descriptorLimit = platform::raiseDescriptorLimit();
  const uint32_t cap =
      options_.maxConnections != 0 ? options_.maxConnections : connectionCapFor(descriptorLimit);
  const auto refuse = [](platform::Socket& socket, uint32_t peer, std::string_view why) {
    socket.close();
    consolePrint(std::string("соединение c "_cp866) + ipAddressText(peer) + std::string(why));
  };
  // A peer that opens connections in a loop would fill the console with the refusals
  // below: one line a second says how many there were.
  uint64_t refusalSecond = 0;
  uint64_t refusedUnshown = 0;
  const auto refuseOften = [&](platform::Socket& socket, uint32_t peer, const std::string& why) {
    const uint64_t second = clock_.tickMs() / 1000;
    if (second == refusalSecond && refusalSecond != 0) {
      socket.close();
      ++refusedUnshown;
      return;
    }
    std::string line = why;
    if (refusedUnshown != 0) {
      line.pop_back();
      line += std::string(" (и ещё отклонено за секунду: "_cp866) + std::to_string(refusedUnshown) +
              ")\n";
    }
    refusalSecond = second;
    refusedUnshown = 0;
    refuse(socket, peer, line);
  };
  AdmissionThrottle throttle(clock_);
  AdmissionQueue queue(throttle, [this](PendingConnection connection) {
    if (!Connection::start(core_, std::move(connection.socket), std::move(connection.slot),
                           connection.peerAddress)) {
      consolePrint("Ошибка создания потока чтения запроса\n"_cp866);
    }
  });
  for (;;) {
    platform::AcceptResult accepted = listener_.accept();
    if (stopRequested_.load()) return 0;
    switch (accepted.outcome) {
      case platform::AcceptOutcome::ACCEPTED:
        break;
      case platform::AcceptOutcome::RETRY_NOW:
        continue;
      case platform::AcceptOutcome::RETRY_AFTER_PAUSE:
        // Out of descriptors or memory for now: connections that end will free them.
        clock_.sleepMs(100);
        continue;
      case platform::AcceptOutcome::FAILED:
        listener_.close();
        consolePrint(std::string("ошибка перенаправления сокета (accept) "_cp866) +
                     std::to_string(accepted.error) + "\n");
        return 1;
    }
    if (!components_.peerFilter->isAllowed(accepted.peerAddress)) {
      refuse(accepted.socket, accepted.peerAddress, " запрещено\n"_cp866);
      continue;
    }
    if (core_->liveConnections() >= static_cast<int>(cap)) {
      refuseOften(
          accepted.socket, accepted.peerAddress,
          std::string(" отклонено: открыто соединений "_cp866) + std::to_string(cap) + "\n");
      continue;
    }
    PendingConnection pending{std::move(accepted.socket), ConnectionSlot(*core_),
                              accepted.peerAddress};
    if (!queue.offer(pending)) {
      refuseOften(pending.socket, pending.peerAddress,
                  std::string(" отклонено: слишком много соединений ждут начала\n"_cp866));
    }
  }
}

void Server::stop() {
  stopRequested_.store(true);
  platform::Socket wake;
  (void)platform::connectTcp("127.0.0.1", port_, &wake);
}

int serverMain(int argc, const char* const* argv, const ServerFactories& factories) {
  platform::ignoreSigpipe();
  // Before any thread starts, so that every thread inherits the mask: a stop signal never
  // cuts a query or a save short, it waits for the halt below.
  platform::blockStopSignals();
  const ServerPaths paths = ServerPaths::fromProgramPath(argc > 0 ? argv[0] : "");
  setCriticalFilePath(paths.besideData(instance::CRITICAL_FILE));
  CommandLineOptions options;
  try {
    options = parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const TextError& error) {
    consolePrint(error.text());
    return 1;
  }
  if (options.help) {
    consolePrint(usageText());
    return 0;
  }
  // One data directory, one server: a second process would replay the first one's journal
  // and append to it. A missing directory is left to the loading below, which reports it.
  std::unique_ptr<platform::DirectoryLock> instanceLock;
  if (platform::DirectoryLock::acquire(paths.dataDir, &instanceLock) ==
      platform::DirectoryLock::Outcome::HELD) {
    consolePrint("Ошибка: каталог данных уже обслуживается другим процессом\n"_cp866);
    return 1;
  }
  ServerOptions serverOptions;
  std::string refusal;
  if (!serverOptions.readEnvironment(&refusal)) {
    consolePrint(refusal);
    return 1;
  }
  Server server(paths, serverOptions);
  if (!server.start(options.port, factories, options.address)) return 1;
  // A signal that came during the start (the replay) is pending and halts right away.
  const std::shared_ptr<ServerCore> core = server.core();
  if (!platform::startStopSignalWaiter([core](int) { core->haltWhenIdle(); }).isOk()) {
    consolePrint("Ошибка создания потока ожидания сигналов\n"_cp866);
    return 1;
  }
  consolePrint(std::string("сервер принимает соединения: адрес "_cp866) +
               ipAddressText(options.address) + std::string(", порт "_cp866) +
               std::to_string(server.port()) + "\n");
  return server.acceptLoop();
}

}  // namespace dovrel::server
