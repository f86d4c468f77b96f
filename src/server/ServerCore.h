// What the accept loop and every connection thread share for the life of the server: the
// query executor, the query journal, the parser semaphore that lets one query run at a
// time, the timing options, and counts of live connections and threads. Any thread; the
// executor and journal only with the parser semaphore held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>

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

  // Accounting of connection threads and contexts, so tests can see that none is left.
  void threadStarted() { liveThreads_.fetch_add(1); }
  void threadEnded() { liveThreads_.fetch_sub(1); }
  void connectionOpened() { liveConnections_.fetch_add(1); }
  void connectionClosed() { liveConnections_.fetch_sub(1); }
  int liveThreads() const { return liveThreads_.load(); }
  int liveConnections() const { return liveConnections_.load(); }
  // Waits until no connection thread or context is left, or `milliseconds` have passed;
  // true when none is left.
  bool waitUntilIdle(uint32_t milliseconds) const;

 private:
  ServerOptions options_;
  // Declared in this order so that the executor goes first: the query parser saves the
  // tables when it is destroyed, and that commit must reach a journal that is still open.
  std::shared_ptr<QueryJournal> journal_;
  std::shared_ptr<QueryExecutor> executor_;
  std::binary_semaphore parserSemaphore_{1};
  std::atomic<int> liveThreads_{0};
  std::atomic<int> liveConnections_{0};
};

}  // namespace dovrel::server
