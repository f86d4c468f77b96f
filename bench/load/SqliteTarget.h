// The load tool's SQLite side: one database file in a temporary directory with one table,
// B-tree indexes on the whole-value fields, an FTS5 index with prefixes over the title and
// one over the body. Each batch is one transaction: without a sync, where the commit then
// switches to synchronous=FULL and checkpoints the write-ahead log, which syncs everything;
// or, in durable mode, with synchronous=FULL, committed by commitBatch(). One thread.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "load/LoadTarget.h"

namespace dovrel::load {

class SqliteTarget final : public LoadTarget {
 public:
  // Creates the database inside `baseDir`; throws LoadError when that fails.
  explicit SqliteTarget(const std::string& baseDir);
  ~SqliteTarget() override;

  std::string name() const override { return "SQLite"; }
  void create(bool durable) override;
  void prepareBatch(const std::vector<CorpusDocument>& documents, uint32_t first) override;
  void storeBatch() override;
  void commitBatch() override;
  void commit() override;
  void optimize() override;
  SearchOutcome search(const SearchQuery& query) override;
  uint64_t diskBytes() const override;
  uint64_t bytesWritten() const override { return processBytesWritten("self"); }

 private:
  void execute(const char* sql);
  sqlite3_stmt* prepare(const char* sql);
  void check(int code, const char* what);
  // Steps a statement whose first column is a document number (with `countOnly`: the
  // count), then resets it.
  SearchOutcome collect(sqlite3_stmt* statement, bool countOnly);

  std::string directory_;
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;  // finalised at the end
  sqlite3_stmt* insertDocument_ = nullptr;
  sqlite3_stmt* insertTitle_ = nullptr;
  sqlite3_stmt* insertBody_ = nullptr;
  bool durable_ = false;
  sqlite3_stmt* searches_[SEARCH_KIND_COUNT] = {};  // by SearchKind; none for TRIVIAL
  sqlite3_stmt* counts_[SEARCH_KIND_COUNT] = {};    // the count-only forms
  sqlite3_stmt* orderedAllDescending_ = nullptr;
  std::vector<CorpusDocument> batch_;
  uint32_t first_ = 0;
};

}  // namespace dovrel::load
