// How dovrel-client shows answers in the formats of --format, and the pieces --fetch uses
// to read the documents a select found. Pure functions; any thread.
//
// text (the default) prints what the server answered, converted to UTF-8, with the
// documents of a get document of several clauses, or of a fetch, labeled "document N {".
// json prints one JSON
// value per line: a document as an object with its number as "@id" (the lines --export
// writes), a search as {"count","found","documents"}, a refusal as {"error","line",
// "column"} (line and column within the command), any other answer as {"ok":true,
// "lines":[...]}. tsv prints documents as a header line and one row per document (the
// number first, a group's fields as "group.field", null as \N, and backslash, tab, line
// feed and carriage return escaped as \\, \t, \n, \r), a search as the header "@id" and
// one number per line, other answers as their lines after "OK"; a refusal goes to
// standard error as text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/TableStructure.h"
#include "client/TextEncoding.h"

namespace dovrel::client {

enum class OutputFormat { TEXT, JSON, TSV };

// The format named `name` ("text", "json", "tsv"), or nothing.
std::optional<OutputFormat> outputFormatNamed(std::string_view name);

struct AnswerView {
  OutputFormat format = OutputFormat::TEXT;
  ValueCodePage values = ValueCodePage::VALUES_1251;
  bool raw = false;  // text only: the answer's bytes unconverted
};

// What to print for an answer: `out` on standard output, `err` on standard error.
struct ShownAnswer {
  std::string out;
  std::string err;
};

// One clause of a get document command that reads a whole document or some of its
// members (not its length or meta record).
struct GetClause {
  uint32_t number;
  std::string table;  // as typed
};

// The clauses of `command` when it is a get document command whose every clause reads
// document members; nothing otherwise. `command` holds no string values, so a plain word
// scan reads it.
std::optional<std::vector<GetClause>> getDocumentClauses(std::string_view command);

// The table a select command searches (the word after "from"), empty when there is none.
std::string searchedTable(std::string_view command);

// The command that reads the documents `numbers` of `table`, one clause each.
std::string getDocumentsCommand(std::string_view table, const std::vector<uint32_t>& numbers);

// The documents of an OK answer to get document clauses, or nothing when it is not one.
std::optional<std::vector<DocumentText>> documentsOfAnswer(std::string_view answer);

struct NumberedDocument {
  uint32_t number;
  const TableStructure* structure;  // of its table; null when not known (values untyped)
  DocumentText document;
};

// The tsv columns of a table's documents: its fields, then "group.field" for each field of
// a group, in declaration order. From the documents themselves (in the order they first
// appear) when the structure is not known.
std::vector<std::string> tsvColumns(const TableStructure& structure);
std::vector<std::string> tsvColumns(const std::vector<NumberedDocument>& documents);
std::string tsvHeader(const std::vector<std::string>& columns);

// The documents in `view`'s format (tsv without the header).
std::string showDocuments(const std::vector<NumberedDocument>& documents,
                          const std::vector<std::string>& columns, const AnswerView& view);

// A search answer's count line and numbers (text), its object (json) or its numbers (tsv).
std::string showSearch(std::string_view countLine, uint32_t found,
                       const std::vector<uint32_t>& numbers, OutputFormat format);

// The answer to `command` in `view`'s format. `structureOf` gives a table's structure for
// typing json values (null when not known); it is asked only for the tables of a get
// document command in json.
ShownAnswer showAnswer(std::string_view answer, std::string_view command, const AnswerView& view,
                       const std::function<const TableStructure*(const std::string&)>& structureOf);

}  // namespace dovrel::client
