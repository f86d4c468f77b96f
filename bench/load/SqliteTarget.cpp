// The load tool's SQLite side. Main thread only.
#include "load/SqliteTarget.h"

#include <stdlib.h>

#include <filesystem>
#include <iterator>

namespace dovrel::load {

namespace {

namespace fs = std::filesystem;

const char* const SCHEMA =
    "CREATE TABLE docs(id INTEGER PRIMARY KEY, title TEXT, body TEXT, author TEXT,"
    " year INTEGER, price REAL, date INTEGER, name TEXT, size INTEGER);"
    "CREATE INDEX docs_author ON docs(author);"
    "CREATE INDEX docs_name ON docs(name);"
    "CREATE INDEX docs_size ON docs(size);"
    "CREATE INDEX docs_year ON docs(year);"
    "CREATE INDEX docs_price ON docs(price);"
    "CREATE INDEX docs_date ON docs(date);"
    // Contentless: the text lives once, in docs. The title's prefix indexes serve 2 to 4
    // letters, as dovrel's words-prefix index on the title serves every prefix with one
    // lookup; the body has words only, as dovrel's words index.
    "CREATE VIRTUAL TABLE fts_title USING fts5(title, content='', prefix='2 3 4');"
    "CREATE VIRTUAL TABLE fts_body USING fts5(body, content='');";

// Every search returns the numbers in ascending order, as dovrel's select does without an
// order clause. dovrel orders equal sort keys by ascending document number and reverses
// the whole sequence for desc, hence the id after the key, in the key's direction. By
// SearchKind; GET fetches the document's columns, TRIVIAL has no counterpart here.
const char* const SEARCH_SQL[] = {
    "SELECT id FROM docs WHERE author = ?1 ORDER BY id",
    "SELECT rowid FROM fts_body WHERE fts_body MATCH ?1 ORDER BY rowid",
    "SELECT rowid FROM fts_title WHERE fts_title MATCH ?1 ORDER BY rowid",
    "SELECT id FROM docs WHERE price BETWEEN ?1 AND ?2 ORDER BY id",
    "SELECT id FROM docs WHERE year = ?1 AND id IN"
    " (SELECT rowid FROM fts_body WHERE fts_body MATCH ?2) ORDER BY id",
    "SELECT id FROM docs WHERE year BETWEEN ?1 AND ?2 ORDER BY date DESC, id DESC LIMIT ?3",
    "SELECT id FROM docs WHERE size >= 0 ORDER BY size ASC, id ASC LIMIT ?1 OFFSET ?2",
    "SELECT rowid FROM fts_body WHERE fts_body MATCH ?1 ORDER BY rowid",
    "SELECT id FROM docs WHERE name >= ?1 AND name < ?2 ORDER BY id",
    "SELECT id FROM docs WHERE size BETWEEN ?1 AND ?2 ORDER BY id",
    "SELECT title, body, author, year, price, date, name, size FROM docs WHERE id = ?1",
    nullptr,
};
const char* const ORDERED_ALL_DESC_SQL =
    "SELECT id FROM docs WHERE size >= 0 ORDER BY size DESC, id DESC LIMIT ?1 OFFSET ?2";

// The count-only form of each search: count(*) of the same condition, with the same
// parameter numbers (so the LIMIT of ORDERED is left unbound).
const char* const COUNT_SQL[] = {
    "SELECT count(*) FROM docs WHERE author = ?1",
    "SELECT count(*) FROM fts_body WHERE fts_body MATCH ?1",
    "SELECT count(*) FROM fts_title WHERE fts_title MATCH ?1",
    "SELECT count(*) FROM docs WHERE price BETWEEN ?1 AND ?2",
    "SELECT count(*) FROM docs WHERE year = ?1 AND id IN"
    " (SELECT rowid FROM fts_body WHERE fts_body MATCH ?2)",
    "SELECT count(*) FROM docs WHERE year BETWEEN ?1 AND ?2",
    "SELECT count(*) FROM docs WHERE size >= 0",
    "SELECT count(*) FROM fts_body WHERE fts_body MATCH ?1",
    "SELECT count(*) FROM docs WHERE name >= ?1 AND name < ?2",
    "SELECT count(*) FROM docs WHERE size BETWEEN ?1 AND ?2",
    nullptr,
    nullptr,
};
static_assert(std::size(SEARCH_SQL) == SEARCH_KIND_COUNT);
static_assert(std::size(COUNT_SQL) == SEARCH_KIND_COUNT);

// An FTS5 query for a word, or for the words beginning with it, in one column. The words
// are lower-case letters, so quoting them is enough.
std::string match(const char* column, const std::string& word, bool prefix) {
  return std::string(column) + " : \"" + word + "\"" + (prefix ? " *" : "");
}

// The first text after every text that begins with `prefix`, for a range over a B-tree in
// binary order: the prefix with its last byte one higher. The name families end in '-',
// so the byte never overflows.
std::string prefixEnd(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

double price(int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

SqliteTarget::SqliteTarget(const std::string& baseDir) {
  std::string pattern = baseDir + "/sqlite-load-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw LoadError("cannot create a directory in " + baseDir);
  directory_ = pattern + "/";
  if (sqlite3_open((directory_ + "load.db").c_str(), &db_) != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    fs::remove_all(directory_);
    throw LoadError("SQLite: cannot open the database: " + message);
  }
}

SqliteTarget::~SqliteTarget() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
  std::error_code ignored;
  fs::remove_all(directory_, ignored);
}

void SqliteTarget::check(int code, const char* what) {
  if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW) {
    throw LoadError(std::string("SQLite: ") + what + ": " + sqlite3_errmsg(db_));
  }
}

void SqliteTarget::execute(const char* sql) {
  check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql);
}

sqlite3_stmt* SqliteTarget::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr), sql);
  statements_.push_back(statement);
  return statement;
}

void SqliteTarget::create(bool durable) {
  durable_ = durable;
  // Without durable mode no sync per batch: dovrel, too, makes its documents durable only
  // at the commit. In durable mode every COMMIT syncs the log.
  execute(durable ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                  : "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;");
  execute(SCHEMA);
  insertDocument_ = prepare(
      "INSERT INTO docs(id, title, body, author, year, price, date, name, size)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insertTitle_ = prepare("INSERT INTO fts_title(rowid, title) VALUES(?, ?)");
  insertBody_ = prepare("INSERT INTO fts_body(rowid, body) VALUES(?, ?)");
  for (SearchKind kind : SEARCH_KINDS) {
    const auto i = static_cast<std::size_t>(kind);
    if (SEARCH_SQL[i] != nullptr) searches_[i] = prepare(SEARCH_SQL[i]);
    if (COUNT_SQL[i] != nullptr) counts_[i] = prepare(COUNT_SQL[i]);
  }
  orderedAllDescending_ = prepare(ORDERED_ALL_DESC_SQL);
}

void SqliteTarget::prepareBatch(const std::vector<CorpusDocument>& documents, uint32_t first) {
  batch_ = documents;
  first_ = first;
}

void SqliteTarget::storeBatch() {
  execute("BEGIN");
  uint32_t number = first_;
  for (const CorpusDocument& doc : batch_) {
    sqlite3_bind_int64(insertDocument_, 1, number);
    sqlite3_bind_text(insertDocument_, 2, doc.title.data(), static_cast<int>(doc.title.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(insertDocument_, 3, doc.body.data(), static_cast<int>(doc.body.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(insertDocument_, 4, doc.author.data(), static_cast<int>(doc.author.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insertDocument_, 5, doc.year);
    sqlite3_bind_double(insertDocument_, 6, price(doc.priceCents));
    sqlite3_bind_int64(insertDocument_, 7, doc.year * 10000 + doc.month * 100 + doc.day);
    sqlite3_bind_text(insertDocument_, 8, doc.name.data(), static_cast<int>(doc.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insertDocument_, 9, doc.size);
    check(sqlite3_step(insertDocument_), "insert into docs");
    sqlite3_reset(insertDocument_);
    sqlite3_bind_int64(insertTitle_, 1, number);
    sqlite3_bind_text(insertTitle_, 2, doc.title.data(), static_cast<int>(doc.title.size()),
                      SQLITE_STATIC);
    check(sqlite3_step(insertTitle_), "insert into fts_title");
    sqlite3_reset(insertTitle_);
    sqlite3_bind_int64(insertBody_, 1, number);
    sqlite3_bind_text(insertBody_, 2, doc.body.data(), static_cast<int>(doc.body.size()),
                      SQLITE_STATIC);
    check(sqlite3_step(insertBody_), "insert into fts_body");
    sqlite3_reset(insertBody_);
    ++number;
  }
  // In durable mode the transaction stays open for commitBatch(), which is timed apart.
  if (!durable_) execute("COMMIT");
}

void SqliteTarget::commitBatch() { execute("COMMIT"); }

void SqliteTarget::commit() {
  // With synchronous=FULL the checkpoint syncs the log, copies it into the database and
  // syncs the database: afterwards every batch is durable.
  execute("PRAGMA synchronous=FULL;");
  int logFrames = 0, copied = 0;
  check(sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied),
        "checkpoint");
}

void SqliteTarget::optimize() {
  // Merges the full-text index into one segment and gives the planner its statistics.
  execute(
      "INSERT INTO fts_title(fts_title) VALUES('optimize');"
      "INSERT INTO fts_body(fts_body) VALUES('optimize'); ANALYZE;");
  check(sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr),
        "checkpoint");
}

SearchOutcome SqliteTarget::collect(sqlite3_stmt* statement, bool countOnly) {
  SearchOutcome outcome;
  int code;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    if (countOnly) {
      outcome.found = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
    } else {
      outcome.add(static_cast<uint32_t>(sqlite3_column_int64(statement, 0)));
    }
  }
  sqlite3_reset(statement);
  check(code, "search");
  if (!countOnly) outcome.found = outcome.returned;
  return outcome;
}

SearchOutcome SqliteTarget::search(const SearchQuery& query) {
  const auto i = static_cast<std::size_t>(query.kind);
  if (query.kind == SearchKind::TRIVIAL) throw SearchRefused("no such request in a library");
  sqlite3_stmt* statement = query.countOnly ? counts_[i] : searches_[i];
  if (query.kind == SearchKind::ORDERED_ALL && query.descending && !query.countOnly) {
    statement = orderedAllDescending_;
  }
  if (statement == nullptr) throw SearchRefused("no count-only form of this kind");
  std::string text, text2;
  const auto bindText = [statement](int parameter, const std::string& value) {
    sqlite3_bind_text(statement, parameter, value.data(), static_cast<int>(value.size()),
                      SQLITE_STATIC);
  };
  switch (query.kind) {
    case SearchKind::EQUALITY:
      bindText(1, query.text);
      break;
    case SearchKind::WORD:
      text = match("body", query.text, false);
      bindText(1, text);
      break;
    case SearchKind::PREFIX:
      text = match("title", query.text, true);
      bindText(1, text);
      break;
    case SearchKind::RANGE:
      sqlite3_bind_double(statement, 1, price(query.low));
      sqlite3_bind_double(statement, 2, price(query.high));
      break;
    case SearchKind::AND:
      text = match("body", query.text, false);
      sqlite3_bind_int64(statement, 1, query.low);
      bindText(2, text);
      break;
    case SearchKind::ORDERED:
      sqlite3_bind_int64(statement, 1, query.low);
      sqlite3_bind_int64(statement, 2, query.high);
      if (!query.countOnly) sqlite3_bind_int(statement, 3, ORDERED_LIMIT);
      break;
    case SearchKind::ORDERED_ALL:
      if (!query.countOnly) {
        sqlite3_bind_int64(statement, 1, query.limit);
        sqlite3_bind_int64(statement, 2, query.offset);
      }
      break;
    case SearchKind::TWO_WORDS:
      text = match("body", query.text, false) + " AND " + match("body", query.text2, false);
      bindText(1, text);
      break;
    case SearchKind::NAME_PREFIX:
      text = query.text;
      text2 = prefixEnd(query.text);
      bindText(1, text);
      bindText(2, text2);
      break;
    case SearchKind::SIZE_RANGE:
      sqlite3_bind_int64(statement, 1, query.low);
      sqlite3_bind_int64(statement, 2, query.high);
      break;
    case SearchKind::GET: {
      sqlite3_bind_int64(statement, 1, query.document);
      SearchOutcome outcome;
      const int code = sqlite3_step(statement);
      if (code == SQLITE_ROW) {
        // Take the whole document out, as dovrel's answer carries it.
        std::string document;
        for (int column = 0; column < 8; ++column) {
          const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
          document.append(bytes, sqlite3_column_bytes(statement, column));
        }
        outcome.add(query.document);
      }
      sqlite3_reset(statement);
      check(code, "get document");
      return outcome;
    }
    case SearchKind::TRIVIAL:
      break;
  }
  return collect(statement, query.countOnly);
}

uint64_t SqliteTarget::diskBytes() const {
  uint64_t bytes = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory_, ignored)) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  return bytes;
}

}  // namespace dovrel::load
