// dovrel-client's --import and --export: JSON lines into a table, and a table's documents
// (all live ones, or those a condition finds) out as JSON lines on standard output.
// Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "client/ClientOptions.h"

namespace dovrel::client {

// How many add clauses go in one request, and documents in one export request.
inline constexpr uint32_t IMPORT_BATCH = 1000;
inline constexpr uint32_t EXPORT_BATCH = 1000;

// Reads options.importFile line by line (empty lines are skipped) and adds each object to
// options.table in batches of IMPORT_BATCH clauses, each followed by a commit unless
// options.noCommit. At the first refused line (not JSON, not fitting the structure, or
// refused by the server) reports FILE:LINE: MESSAGE on standard error and sends nothing
// after it; the documents of the lines before it stay, and are committed. `user` and
// `password` are the bytes to send. The exit status: 0, or 1 after a refusal or a lost
// connection.
int runImport(const ClientOptions& options, const std::string& user, const std::string& password);

// Writes the documents of options.exportTable to standard output, one JSON object per line
// (see JsonExport.h), in ascending document order (the condition's order with --where),
// each batch as soon as it arrives. Without a condition the live documents are found from
// the table's length and each number's meta record, so the user needs select and meta.
int runExport(const ClientOptions& options, const std::string& user, const std::string& password);

}  // namespace dovrel::client
