// The hooks of the query journal as the connection threads use them. Called only with the
// server's parser semaphore held (or on the main thread before connections are taken), so
// an implementation needs no lock of its own.
#pragma once

#include "foundation/TextView.h"

namespace dovrel::server {

class QueryJournal {
 public:
  virtual ~QueryJournal() = default;

  // Records a request body exactly as received, durably enough to survive a crash of the
  // process, before the query runs. Throws DiskOrMemoryError when the record could not be
  // written: the query must not run, and the server goes into its error state.
  virtual void append(TextView query) = 0;
  // Called after a query whose result was RESULT_COMMITTED: starts a new journal span.
  // Throws DiskOrMemoryError when the journal can record nothing more (the commit itself
  // stands; the server goes into its error state).
  virtual void rotate() = 0;
  // Called once on halt, after the executor saved without an error: closes the journal for
  // good (a save that failed leaves the journal for the next start).
  virtual void shutdown() = 0;
};

// The journal of a server that keeps none.
class NullQueryJournal final : public QueryJournal {
 public:
  void append(TextView) override {}
  void rotate() override {}
  void shutdown() override {}
};

}  // namespace dovrel::server
