// The shared server state and the halt sequence. Any thread.
#include "server/ServerCore.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Failure.h"
#include "platform/Clock.h"
#include "platform/Process.h"

namespace dovrel::server {

namespace {

// A decimal number above 0 that fits `*value`'s type, or false.
template <typename Number>
bool parsePositive(const char* text, Number* value) {
  uint64_t parsed = 0;
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    if (parsed > (UINT64_MAX - static_cast<uint64_t>(*c - '0')) / 10) return false;
    parsed = parsed * 10 + static_cast<uint64_t>(*c - '0');
  }
  if (parsed == 0 || parsed > static_cast<uint64_t>(static_cast<Number>(-1))) return false;
  *value = static_cast<Number>(parsed);
  return true;
}

template <typename Number>
bool readVariable(const char* name, Number* value, std::string* refusal) {
  const char* text = std::getenv(name);
  if (text == nullptr || parsePositive(text, value)) return true;
  *refusal = std::string("Ошибка: неверное значение переменной окружения "_cp866) + name + " " +
             text + "\n";
  return false;
}

}  // namespace

bool ServerOptions::readEnvironment(std::string* refusal) {
  return readVariable("DOVREL_MAX_BODY_BYTES", &maxBodyBytes, refusal) &&
         readVariable("DOVREL_BODY_BUDGET_BYTES", &bodyBudgetBytes, refusal) &&
         readVariable("DOVREL_MAX_CONNECTIONS", &maxConnections, refusal) &&
         readVariable("DOVREL_HEADER_DEADLINE_MS", &headerDeadlineMs, refusal) &&
         readVariable("DOVREL_BODY_DEADLINE_MS", &bodyDeadlineMs, refusal) &&
         readVariable("DOVREL_LOGIN_DELAY_MS", &loginDelayFirstMs, refusal) &&
         readVariable("DOVREL_LOGIN_DELAY_MAX_MS", &loginDelayMaxMs, refusal);
}

uint32_t connectionCapFor(uint64_t descriptorLimit) {
  const uint64_t kept = std::max<uint64_t>(64, descriptorLimit / 4);
  if (descriptorLimit <= kept + 16) return 16;
  return static_cast<uint32_t>(std::min<uint64_t>(descriptorLimit - kept, 4096));
}

ConnectionSlot::ConnectionSlot(ServerCore& core) : core_(&core) { core_->connectionOpened(); }

ConnectionSlot::~ConnectionSlot() {
  if (core_ != nullptr) core_->connectionClosed();
}

ConnectionSlot& ConnectionSlot::operator=(ConnectionSlot&& other) noexcept {
  if (this != &other) {
    if (core_ != nullptr) core_->connectionClosed();
    core_ = other.core_;
    other.core_ = nullptr;
  }
  return *this;
}

ServerCore::ServerCore(ServerOptions options, std::shared_ptr<QueryExecutor> executor,
                       std::shared_ptr<QueryJournal> journal)
    : options_(std::move(options)),
      journal_(std::move(journal)),
      executor_(std::move(executor)),
      failedLogins_(options_.loginDelayFirstMs, options_.loginDelayMaxMs, options_.loginForgetMs) {
  if (!options_.endProcess) options_.endProcess = [](int status) { platform::exitProcess(status); };
}

void ServerCore::halt() {
  consolePrint("работа завершена, сохраняемся\n"_cp866);
  // Whatever happens while saving, the process ends: the parser semaphore stays taken, so
  // a server that went on would never run another query. A failed save is not a clean
  // end, and the exit status says so.
  int status = 0;
  handleFailures(
      [&] {
        // The save first: until it has succeeded the journal is the only copy of the work since
        // the last commit, so a save that fails or dies leaves it for the next start's replay.
        // In the error state nothing is saved, and the journal stays for the same reason.
        const bool saving = !executor_->refusesEveryQuery();
        executor_->shutdown();
        if (!saving) throw TextError("сервер в состоянии ошибки, требуется перезагрузка\n"_cp866);
        journal_->shutdown();
      },
      [&](const Failure& failure) {
        consolePrint(failure.text);
        status = 1;
      });
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

bool ServerCore::reserveBodyBytes(uint64_t bytes, uint32_t waitMs) {
  std::unique_lock<std::mutex> lock(budgetMutex_);
  const uint64_t budget = options_.bodyBudgetBytes;
  const auto fits = [&] { return bytes <= budget && reservedBodyBytes_ <= budget - bytes; };
  if (!budgetFreed_.wait_for(lock, std::chrono::milliseconds(waitMs), fits)) return false;
  reservedBodyBytes_ += bytes;
  return true;
}

void ServerCore::releaseBodyBytes(uint64_t bytes) {
  if (bytes == 0) return;
  {
    std::lock_guard<std::mutex> lock(budgetMutex_);
    reservedBodyBytes_ -= bytes;
  }
  budgetFreed_.notify_all();
}

uint64_t ServerCore::reservedBodyBytes() {
  std::lock_guard<std::mutex> lock(budgetMutex_);
  return reservedBodyBytes_;
}

bool BodyReservation::cover(uint64_t bodyBytes, uint32_t waitMs) {
  const uint64_t needed = bodyBytes > BODY_OWN_BYTES ? bodyBytes - BODY_OWN_BYTES : 0;
  if (needed <= held_) return true;
  if (!core_.reserveBodyBytes(needed - held_, waitMs)) return false;
  held_ = needed;
  return true;
}

void BodyReservation::release() {
  core_.releaseBodyBytes(held_);
  held_ = 0;
}

}  // namespace dovrel::server
