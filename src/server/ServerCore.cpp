// The shared server state and the halt sequence. Any thread.
#include "server/ServerCore.h"

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "platform/Clock.h"
#include "platform/Process.h"

namespace dovrel::server {

ServerCore::ServerCore(ServerOptions options, std::shared_ptr<QueryExecutor> executor,
                       std::shared_ptr<QueryJournal> journal)
    : options_(std::move(options)), journal_(std::move(journal)), executor_(std::move(executor)) {
  if (!options_.endProcess) options_.endProcess = [](int status) { platform::exitProcess(status); };
}

void ServerCore::halt() {
  consolePrint("работа завершена, сохраняемся\n"_cp866);
  // Whatever happens while saving, the process ends: the parser semaphore stays taken, so
  // a server that went on would never run another query. A failed save is not a clean
  // end, and the exit status says so.
  int status = 0;
  try {
    // The save first: until it has succeeded the journal is the only copy of the work since
    // the last commit, so a save that fails or dies leaves it for the next start's replay.
    // In the error state nothing is saved, and the journal stays for the same reason.
    const bool saving = !executor_->refusesEveryQuery();
    executor_->shutdown();
    if (!saving) throw TextError("сервер в состоянии ошибки, требуется перезагрузка\n"_cp866);
    journal_->shutdown();
  } catch (const TextError& error) {
    consolePrint(error.text());
    status = 1;
  } catch (const SemanticError& error) {
    consolePrint(error.message());
    status = 1;
  } catch (const DiskOrMemoryError& error) {
    consolePrint(error.message());
    status = 1;
  } catch (...) {
    consolePrint("неожиданная ошибка"_cp866);
    status = 1;
  }
  options_.endProcess(status);
}

void ServerCore::haltWhenIdle() {
  parserSemaphore_.acquire();
  halt();
}

bool ServerCore::waitUntilIdle(uint32_t milliseconds) const {
  const uint64_t deadline = platform::tickCountMs() + milliseconds;
  while (liveThreads() != 0 || liveConnections() != 0) {
    if (platform::tickCountMs() >= deadline) return false;
    platform::sleepMs(5);
  }
  return true;
}

}  // namespace dovrel::server
