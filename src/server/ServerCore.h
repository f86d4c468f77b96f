// What the accept loop and every connection thread share for the life of the server: the
// query executor, the query journal, the parser semaphore that lets one query run at a
// time, the timing options, and counts of live connections and threads. Any thread; the
// executor and journal only with the parser semaphore held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>

#include "server/FailedLogins.h"
#include "server/QueryExecutor.h"
#include "server/QueryJournal.h"

namespace dovrel::server {

struct ServerOptions {
  // How long the writer waits for an answer before sending a status line, and the slice in
  // which the reader waits for the parser and for its writer. 5000 ms in service; tests
  // shorten it.
  uint32_t statusIntervalMs = 5000;
  // Stack of every connection thread (the platform never gives less than 1 MiB).
  std::size_t threadStackBytes = 0;
  // Ends the process after a halt; the platform's immediate exit unless a test replaces it.
  std::function<void(int status)> endProcess;
  // Fault injection for tests: a request body that would grow past this many bytes fails as
  // if memory had run out. 0: only real allocation failures (the buffer's 2 GiB limit).
  uint64_t bodyMemoryLimit = 0;

  // Hostile peers. The largest request body taken; a longer one ends its connection with
  // a console line and no answer, like any refused frame.
  uint64_t maxBodyBytes = 64ull << 20;
  // Bytes of request bodies buffered at once by all connections together, beyond the
  // first BODY_OWN_BYTES of each body, which every connection may hold on its own. A body
  // that does not fit waits for others to finish, at most one body deadline.
  uint64_t bodyBudgetBytes = 256ull << 20;
  // Open connections at once; 0: derived from the descriptor limit (see connectionCap).
  // One more is closed at once with a console line.
  uint32_t maxConnections = 0;
  // Once the first byte of a header has arrived, the whole header must arrive within this.
  // A connection with no byte of a new header is idle and may stay so for ever.
  uint32_t headerDeadlineMs = 30000;
  // Once a header has been accepted, its body must advance by BODY_PROGRESS_BYTES (or to
  // its end) within every such period: a floor of about 1 KiB/s, which a slow link meets
  // and a peer that stalls or trickles does not.
  uint32_t bodyDeadlineMs = 60000;
  // Failed logins: the first delays its answer by this much, each further one from the same
  // peer or for the same user doubles it up to the ceiling; a peer or user without a
  // failure for the forget period starts afresh.
  uint32_t loginDelayFirstMs = 100;
  uint32_t loginDelayMaxMs = 4000;
  uint32_t loginForgetMs = 60000;

  // Replaces the limits above by those the operator set in the environment
  // (DOVREL_MAX_BODY_BYTES, DOVREL_BODY_BUDGET_BYTES, DOVREL_MAX_CONNECTIONS,
  // DOVREL_HEADER_DEADLINE_MS, DOVREL_BODY_DEADLINE_MS, DOVREL_LOGIN_DELAY_MS,
  // DOVREL_LOGIN_DELAY_MAX_MS: decimal, above 0). False with the
  // console message in `*refusal` for a value that is not such a number.
  bool readEnvironment(std::string* refusal);
};

// What each body may hold without the shared budget, and the progress its deadline asks.
inline constexpr uint64_t BODY_OWN_BYTES = 65536;
inline constexpr uint64_t BODY_PROGRESS_BYTES = 65536;

// The connection cap for a descriptor limit: a quarter of the descriptors (at least 64)
// stays for the tables' files, the journal and the listening socket; at most 4096
// connections, each of which costs a thread or two.
uint32_t connectionCapFor(uint64_t descriptorLimit);

class ServerCore;

// One accepted connection counted as open from the accept until its socket is closed with
// the last holder of this slot. Move-only.
class ConnectionSlot {
 public:
  ConnectionSlot() = default;
  explicit ConnectionSlot(ServerCore& core);
  ~ConnectionSlot();
  ConnectionSlot(ConnectionSlot&& other) noexcept : core_(other.core_) { other.core_ = nullptr; }
  ConnectionSlot& operator=(ConnectionSlot&& other) noexcept;
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  ServerCore* core_ = nullptr;
};

class ServerCore {
 public:
  // Takes shared ownership of the executor and journal (both non-null).
  ServerCore(ServerOptions options, std::shared_ptr<QueryExecutor> executor,
             std::shared_ptr<QueryJournal> journal);

  const ServerOptions& options() const { return options_; }
  QueryExecutor& executor() { return *executor_; }
  QueryJournal& journal() { return *journal_; }
  // Count 1: held from just before a query is journalled until the executor returns.
  std::binary_semaphore& parserSemaphore() { return parserSemaphore_; }

  // The end of the server after a halt query, on the halting reader thread, which still
  // holds the parser semaphore so that no other query starts: prints the halt message,
  // shuts the journal down, lets the executor save, and ends the process with status 0 (1,
  // after printing its message, when either of them throws). Returns only when a test
  // replaced endProcess.
  void halt();
  // The halt for a stop signal, on the signal's own thread: waits for the parser semaphore
  // (the running query finishes; no other starts afterwards), then halt().
  void haltWhenIdle();

  // Accounting of connection threads and open connections (accepted, not closed yet), so
  // that the accept loop can cap them and tests can see that none is left.
  void threadStarted() { liveThreads_.fetch_add(1); }
  void threadEnded() { liveThreads_.fetch_sub(1); }
  void connectionOpened() { liveConnections_.fetch_add(1); }
  void connectionClosed() { liveConnections_.fetch_sub(1); }
  int liveThreads() const { return liveThreads_.load(); }
  int liveConnections() const { return liveConnections_.load(); }
  // Waits until no connection thread or context is left, or `milliseconds` have passed;
  // true when none is left.
  bool waitUntilIdle(uint32_t milliseconds) const;

  // The shared budget of buffered body bytes (ServerOptions::bodyBudgetBytes). Takes
  // `bytes` more, waiting up to `waitMs` for other bodies to give theirs back; false when
  // they did not in time (nothing is taken then). Any connection thread.
  bool reserveBodyBytes(uint64_t bytes, uint32_t waitMs);
  void releaseBodyBytes(uint64_t bytes);
  uint64_t reservedBodyBytes();

  // The delays of failed logins, shared by every connection.
  FailedLogins& failedLogins() { return failedLogins_; }

 private:
  ServerOptions options_;
  // Declared in this order so that the executor goes first: the query parser saves the
  // tables when it is destroyed, and that commit must reach a journal that is still open.
  std::shared_ptr<QueryJournal> journal_;
  std::shared_ptr<QueryExecutor> executor_;
  std::binary_semaphore parserSemaphore_{1};
  std::atomic<int> liveThreads_{0};
  std::atomic<int> liveConnections_{0};
  std::mutex budgetMutex_;
  std::condition_variable budgetFreed_;
  uint64_t reservedBodyBytes_ = 0;  // guarded by budgetMutex_
  FailedLogins failedLogins_;
};

// A body's share of the budget beyond its own BODY_OWN_BYTES, given back when destroyed.
// Used by one reader thread.
class BodyReservation {
 public:
  explicit BodyReservation(ServerCore& core) : core_(core) {}
  ~BodyReservation() { release(); }
  BodyReservation(const BodyReservation&) = delete;
  BodyReservation& operator=(const BodyReservation&) = delete;

  // Makes room for a body of `bodyBytes` in all; false when the budget stayed short for
  // `waitMs` (what was held before stays held).
  bool cover(uint64_t bodyBytes, uint32_t waitMs);
  void release();

 private:
  ServerCore& core_;
  uint64_t held_ = 0;
};

}  // namespace dovrel::server
