// The names of an instance's files and directories, and the paths built from them: the
// one place that knows what lies in an instance's base directory. The server, the query
// parser, the migration tool and the tests build their paths here. Pure text work; any
// thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::instance {

// Beside the program, in the base directory.
constexpr std::string_view DATA_DIRECTORY = "DATA";  // the tables' files
constexpr std::string_view LOG_DIRECTORY = "LOGS";   // the query journal
constexpr std::string_view SECURITY_FILE = "security.txt";
constexpr std::string_view SECURITY_LOG = "security_log.txt";
constexpr std::string_view CRITICAL_FILE = "critical.txt";  // fatal assertion records
constexpr std::string_view NETWORK_PERMISSIONS_FILE = "network_permissions.txt";
// In the log directory: the journal being written; the archived ones are named by time.
constexpr std::string_view CURRENT_JOURNAL = "current.log";
constexpr std::string_view JOURNAL_SUFFIX = ".log";

// The base directory of the program at `programPath`: the path up to and including its
// last '/', or "" (the current directory) when it has none.
std::string baseDirectoryOf(std::string_view programPath);

// `baseDir` (ending with '/', or empty) + DATA_DIRECTORY + '/'.
std::string dataDirectory(std::string_view baseDir);
// `baseDir` + LOG_DIRECTORY + '/'.
std::string logDirectory(std::string_view baseDir);
// A file beside the data directory: joined lexically to the base directory, never through
// "DATA/..", which fails when DATA/ is missing and leads elsewhere when it is a symbolic
// link.
std::string besideData(std::string_view baseDir, std::string_view fileName);

}  // namespace dovrel::instance
