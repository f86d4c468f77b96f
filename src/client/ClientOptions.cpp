// dovrel-client's command line. Main thread only.
#include "client/ClientOptions.h"

#include "client/ClientError.h"

namespace dovrel::client {

namespace {

int parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) throw ClientError("invalid port: " + text);
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw ClientError("invalid port: " + text);
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) throw ClientError("port out of range 1-65535: " + text);
  return port;
}

}  // namespace

ClientOptions parseClientOptions(const std::vector<std::string>& arguments) {
  ClientOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size()) throw ClientError("option " + option + " needs a value");
      return arguments[++i];
    };
    if (option == "-h") {
      options.host = value();
    } else if (option == "-p") {
      options.port = parsePort(value());
    } else if (option == "-u") {
      options.user = value();
      options.userGiven = true;
    } else if (option == "-c") {
      options.sources.push_back({CommandSource::COMMAND, value()});
    } else if (option == "-f") {
      options.sources.push_back({CommandSource::FILE, value()});
    } else if (option == "--raw") {
      options.raw = true;
    } else if (option == "--values-866") {
      options.valuesIn866 = true;
    } else if (option == "--quiet-mode") {
      options.quietMode = true;
    } else if (option == "--stop-on-error") {
      options.stopOnError = true;
      options.continueOnError = false;
    } else if (option == "--continue-on-error") {
      options.continueOnError = true;
      options.stopOnError = false;
    } else if (option == "--no-pager") {
      options.noPager = true;
    } else if (option == "--import") {
      options.importFile = value();
    } else if (option == "--table") {
      options.table = value();
    } else if (option == "--no-commit") {
      options.noCommit = true;
    } else if (option == "--export") {
      options.exportTable = value();
    } else if (option == "--where") {
      options.where = value();
      options.whereGiven = true;
    } else if (option == "--fetch") {
      options.fetch = true;
    } else if (option == "--format") {
      const std::string& name = value();
      const auto format = outputFormatNamed(name);
      if (!format) throw ClientError("unknown format: " + name + " (text, json or tsv)");
      options.format = *format;
    } else if (option == "--help") {
      options.help = true;
    } else {
      throw ClientError("unknown option: " + option);
    }
  }
  const bool importing = !options.importFile.empty();
  const bool exporting = !options.exportTable.empty();
  if (importing && exporting) throw ClientError("--import and --export cannot be combined");
  if ((importing || exporting) && !options.sources.empty()) {
    throw ClientError("-c and -f cannot be combined with --import or --export");
  }
  if (importing != !options.table.empty()) {
    throw ClientError(importing ? "--import needs --table" : "--table belongs to --import");
  }
  if (options.noCommit && !importing) throw ClientError("--no-commit belongs to --import");
  if (options.whereGiven && !exporting) throw ClientError("--where belongs to --export");
  if ((importing || exporting) && (options.fetch || options.format != OutputFormat::TEXT)) {
    throw ClientError("--fetch and --format cannot be combined with --import or --export");
  }
  if (options.raw && options.format != OutputFormat::TEXT) {
    throw ClientError("--raw shows the answers' bytes and goes only with --format text");
  }
  return options;
}

const char* clientUsage() {
  return "usage: dovrel-client [-h host] [-p port] [-u user] [-c command]... [-f file]...\n"
         "                     [--raw] [--values-866] [--quiet-mode]\n"
         "                     [--stop-on-error | --continue-on-error] [--no-pager]\n"
         "                     [--fetch] [--format text|json|tsv] [--help]\n"
         "       dovrel-client [-h host] [-p port] [-u user] --import FILE --table T "
         "[--no-commit]\n"
         "       dovrel-client [-h host] [-p port] [-u user] --export T [--where CONDITION]\n"
         "  -h host       server address (default 127.0.0.1)\n"
         "  -p port       server port (default 8888)\n"
         "  -u user       user name (default: $DOVREL_USER, else $USER)\n"
         "  -c command    send this command (may be repeated)\n"
         "  -f file       send the commands of this file, separated by empty lines\n"
         "  --raw         send the typed bytes and print the answers' bytes unconverted\n"
         "  --values-866  string values in code page 866 (instances written that way)\n"
         "  --quiet-mode  send each command on its own connection as a quiet request\n"
         "  --stop-on-error      stop at the first ERROR answer (the default for -f)\n"
         "  --continue-on-error  send every command whatever the answers\n"
         "  --no-pager    print long answers directly at a terminal\n"
         "A refusal in a -f script is reported as FILE:LINE:COLUMN of the file, and each\n"
         "script ends with a summary line on standard error.\n"
         "Without -c or -f the commands come from standard input; on a terminal a prompt\n"
         "is shown and a command is sent when an empty line is entered; lines are edited\n"
         "and kept in ~/.dovrel_history, Ctrl-C drops the command being typed, and an\n"
         "answer longer than the terminal goes through $PAGER (default less -FRX, else\n"
         "more) unless --no-pager is given.\n"
         "String values (quoted and counted strings) go out and come back in code page\n"
         "1251, the rest in code page 866; a character they cannot hold is refused.\n"
         "The password is taken from $DOVREL_PASSWORD, else asked for on the terminal.\n"
         "  --fetch       after a select, print the documents it found (read 1000 a request),\n"
         "                each labeled with its number\n"
         "  --format F    text (the default), json (one JSON value a line: documents as\n"
         "                objects, searches, refusals with line and column) or tsv (a header\n"
         "                and one row a document, null as \\N)\n"
         "  --import FILE --table T  add each line of FILE (a JSON object) to table T, 1000\n"
         "                lines per request, each batch committed (--no-commit: not); the\n"
         "                first refused line is reported and nothing after it is sent\n"
         "  --export T    write table T's live documents as JSON lines, each with its\n"
         "                document number as \"@id\"; --where CONDITION: those it finds\n"
         "Exit status 1 after an ERROR answer or a lost connection.\n";
}

}  // namespace dovrel::client
