// The command line of dovrel-client. Parsed once on the main thread.
#pragma once

#include <string>
#include <vector>

#include "client/AnswerViews.h"

namespace dovrel::client {

struct CommandSource {
  enum Kind { COMMAND, FILE } kind;
  std::string value;  // the command text (-c) or the file's path (-f)
};

struct ClientOptions {
  std::string host = "127.0.0.1";
  int port = 8888;
  std::string user;  // empty: taken from the environment by the program
  bool userGiven = false;
  std::vector<CommandSource> sources;  // in command-line order; none: standard input
  bool raw = false;                    // keep the answers' code page 866 bytes and the typed bytes
  bool valuesIn866 = false;            // string values in code page 866 instead of 1251
  bool quietMode = false;              // one quiet request per connection instead of one connection
  // After an ERROR answer: a script (-f) stops unless continueOnError; commands given with
  // -c or on standard input go on unless stopOnError. A stop ends every later source too.
  bool stopOnError = false;
  bool continueOnError = false;
  bool noPager = false;  // at a terminal, print long answers directly instead of through $PAGER
  bool fetch = false;    // after a select, read and print the documents it found
  OutputFormat format = OutputFormat::TEXT;
  bool help = false;
  // --import FILE --table T: JSON lines into table T, a commit after every batch unless
  // noCommit. --export T [--where CONDITION]: documents out as JSON lines.
  std::string importFile;
  std::string table;
  bool noCommit = false;
  std::string exportTable;
  std::string where;
  bool whereGiven = false;
};

// Parses the arguments after the program name. Throws ClientError with a message for the
// user on an unknown option, a missing value or a port outside 1-65535, and when --import
// and --export are mixed with each other or with -c/-f, or --import lacks --table, or
// --where or --no-commit come without the option they belong to, --fetch or --format come
// with --import or --export, or --raw with a format other than text.
ClientOptions parseClientOptions(const std::vector<std::string>& arguments);

// The usage text printed by --help and after a command-line error.
const char* clientUsage();

}  // namespace dovrel::client
