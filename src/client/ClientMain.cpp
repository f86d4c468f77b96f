// dovrel-client: sends commands to a dovrel server and prints the answers. Commands come
// from -c, from -f files or from standard input (with a prompt on a terminal, where an
// empty line sends the command). Single-threaded.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/AnswerFormatter.h"
#include "client/AnswerViews.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "client/ClientOptions.h"
#include "client/CommandInput.h"
#include "client/JsonTransfer.h"
#include "client/LineEditor.h"
#include "client/ScriptReport.h"
#include "client/SearchAnswer.h"
#include "client/TextEncoding.h"
#include "foundation/Cp866.h"
#include "platform/Env.h"
#include "platform/Process.h"
#include "platform/ServerSupport.h"
#include "platform/Terminal.h"

namespace {

using namespace dovrel;
using namespace dovrel::client;

// Whether the command's first word is "halt": the server then ends the connection without
// an answer, which is the expected outcome rather than a lost connection.
bool isHaltCommand(std::string_view command) {
  const std::size_t start = command.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return false;
  std::string word;
  for (std::size_t i = start; i < command.size(); ++i) {
    const char c = command[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) break;
    word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return word == "halt";
}

class Session {
 public:
  Session(const ClientOptions& options, std::string user, std::string password)
      : options_(options),
        user_(std::move(user)),
        password_(std::move(password)),
        showProgress_(platform::isTerminal(platform::StandardStream::ERROR)) {}

  // Sends one command and prints its answer. False when the session cannot go on (the
  // connection is lost, or the server halted); an ERROR answer is remembered in sawError().
  // A kept connection that the server closed meanwhile (it restarted) is replaced before
  // anything is sent; one lost while the request was being sent is retried once on a new
  // connection, since the server runs only a request it has received whole. A connection
  // lost after the request went out leaves the command's fate unknown, and the user is told.
  // A command refused here for a character its code page cannot hold (nothing of it is
  // sent) counts as an ERROR answer.
  bool run(const std::string& command) {
    std::string text = command;
    if (!options_.raw) {
      try {
        text = encodeCommand(command, values());
      } catch (const ClientError& error) {
        std::cerr << "dovrel-client: " << error.what() << std::endl;
        sawError_ = true;
        return true;
      }
    }
    const std::string body = buildQuery(user_, password_, text);
    const RequestMode mode = options_.quietMode ? RequestMode::QUIET : RequestMode::KNOWN_LENGTH;
    for (int attempt = 0;; ++attempt) {
      bool sent = false;
      bool reused = false;
      try {
        if (connection_ && connection_->socket().idlePeerHasEnded()) connection_.reset();
        reused = connection_ != nullptr && mode != RequestMode::QUIET;
        if (!reused) {
          connection_ = connect();
        }
        connection_->send(body, mode);
        sent = true;
        const Answer answer = connection_->receive(mode, progressPrinter());
        if (mode == RequestMode::QUIET) connection_.reset();
        lastRefusal_.clear();
        if (!answer.isOk()) {
          sawError_ = true;
          lastRefusal_ = answer.text;
        }
        if (options_.fetch && answer.isOk() && isSearchCommand(command)) {
          fetch(command, answer.text);
        } else {
          show(showAnswer(answer.text, command, view(),
                          [this](const std::string& table) { return structureOf(table); }));
        }
        return true;
      } catch (const ClientError& error) {
        connection_.reset();
        if (error.closedBeforeAnswer() && isHaltCommand(command)) {
          std::cerr << "dovrel-client: the server closed the connection (halt)" << std::endl;
          halted_ = true;
          return false;
        }
        if (reused && !sent && attempt == 0) continue;
        std::cerr << "dovrel-client: " << error.what();
        if (sent) std::cerr << "; the command may or may not have run";
        std::cerr << std::endl;
        sawError_ = true;
        lastRefusal_.clear();
        return false;
      }
    }
  }

  // Answers with more lines than the terminal has rows go through `pagerCommand` from now
  // on; empty prints every answer directly.
  void setPager(std::string pagerCommand) { pager_ = std::move(pagerCommand); }
  // Whether the server ended the session by a halt.
  bool halted() const { return halted_; }
  const ClientOptions& options() const { return options_; }

  bool sawError() const { return sawError_; }

  // Sends `probe` without printing an OK answer; false, with the server's message on
  // standard error, when it is refused (a wrong password, an unknown user, a locked account,
  // a server in its error state) or the server cannot be reached.
  bool checkLogin(const std::string& probe) {
    try {
      connection_ = connect();
      const Answer answer = connection_->request(
          buildQuery(user_, password_, probe), RequestMode::KNOWN_LENGTH, [](std::string_view) {});
      if (answer.isOk()) return true;
      std::cerr << "dovrel-client: " << formatAnswer(answer.text, false, options_.raw);
    } catch (const ClientError& error) {
      std::cerr << "dovrel-client: " << error.what() << std::endl;
    }
    connection_.reset();
    sawError_ = true;
    return false;
  }
  // The ERROR answer of the last command (code page 866), empty when it was OK.
  const std::string& lastRefusal() const { return lastRefusal_; }

 private:
  ValueCodePage values() const {
    return options_.valuesIn866 ? ValueCodePage::VALUES_866 : ValueCodePage::VALUES_1251;
  }
  AnswerView view() const { return {options_.format, values(), options_.raw}; }

  // A request the client makes of its own (a fetch, a table's structure): on the kept
  // connection, or on one of its own in quiet mode.
  Answer requestMore(const std::string& command) {
    const std::string body = buildQuery(user_, password_, command);
    if (options_.quietMode || connection_ == nullptr) {
      return connect()->request(body, RequestMode::QUIET, progressPrinter());
    }
    return connection_->request(body, RequestMode::KNOWN_LENGTH, progressPrinter());
  }

  std::unique_ptr<ClientConnection> connect() const {
    return std::make_unique<ClientConnection>(options_.host, static_cast<uint16_t>(options_.port));
  }
  // Prints the status lines between answers ("In queue", "Running") when standard error is
  // a terminal.
  StatusCallback progressPrinter() const {
    return [this](std::string_view status) {
      if (showProgress_ && status != "Ready") std::cerr << status << std::endl;
    };
  }

  // The structure of `table`, read once per session; null when the server refuses it (a
  // user without the structure privilege), and then json values are shown as strings.
  const TableStructure* structureOf(const std::string& table) {
    auto known = structures_.find(table);
    if (known == structures_.end()) {
      std::unique_ptr<TableStructure> structure;
      const Answer answer = requestMore("get table " + table + " structure;");
      if (answer.isOk())
        structure = std::make_unique<TableStructure>(parseTableStructure(answer.text));
      known = structures_.emplace(table, std::move(structure)).first;
    }
    return known->second.get();
  }

  // Prints the documents of the select `command` found, read FETCH_BATCH a request and
  // each labeled with its number, after the count line (text) or the header (tsv). A
  // refusal of a read (a replaced document for a user without history) ends the fetch.
  void fetch(const std::string& command, const std::string& answerText) {
    constexpr std::size_t FETCH_BATCH = 1000;
    SearchAnswer found;
    std::string error;
    if (!decodeSearchAnswer(answerText, &found, &error)) {
      std::cerr << "dovrel-client: " << error << std::endl;
      sawError_ = true;
      return;
    }
    const std::string table = searchedTable(command);
    const AnswerView shown = view();
    const TableStructure* structure =
        shown.format == OutputFormat::TEXT ? nullptr : structureOf(table);
    std::optional<std::vector<std::string>> columns;
    if (structure != nullptr) columns = tsvColumns(*structure);
    std::string out;
    if (shown.format == OutputFormat::TEXT)
      out = showSearch(found.countLine, found.found, {}, shown.format);
    if (shown.format == OutputFormat::TSV && columns) out = tsvHeader(*columns);
    for (std::size_t first = 0; first < found.documents.size(); first += FETCH_BATCH) {
      const std::vector<uint32_t> numbers(
          found.documents.begin() + static_cast<std::ptrdiff_t>(first),
          found.documents.begin() +
              static_cast<std::ptrdiff_t>(std::min(first + FETCH_BATCH, found.documents.size())));
      const Answer answer = requestMore(getDocumentsCommand(table, numbers));
      auto documents = answer.isOk() ? documentsOfAnswer(answer.text) : std::nullopt;
      if (!documents || documents->size() != numbers.size()) {
        show({out, ""});
        if (answer.isOk()) {
          std::cerr << "dovrel-client: unexpected answer to a fetch" << std::endl;
        } else {
          show(showAnswer(answer.text, "", shown, [](const std::string&) { return nullptr; }));
          lastRefusal_ = answer.text;
        }
        sawError_ = true;
        return;
      }
      std::vector<NumberedDocument> numbered;
      for (std::size_t i = 0; i < numbers.size(); ++i) {
        numbered.push_back({numbers[i], structure, std::move((*documents)[i])});
      }
      if (!columns) {
        columns = tsvColumns(numbered);
        if (shown.format == OutputFormat::TSV) out += tsvHeader(*columns);
      }
      out += showDocuments(numbered, *columns, shown);
      if (pager_.empty()) {
        show({out, ""});
        out.clear();
      }
    }
    if (shown.format == OutputFormat::TSV && !columns) out = tsvHeader({});
    show({out, ""});
  }

  void show(const ShownAnswer& shown) {
    if (!shown.err.empty()) std::cerr << shown.err << std::flush;
    const std::string& text = shown.out;
    if (text.empty()) return;
    if (!pager_.empty()) {
      int rows = platform::terminalRows();
      if (rows <= 0) rows = 24;  // an unsized terminal: the classic height
      const auto lines = std::count(text.begin(), text.end(), '\n');
      if (lines >= rows && platform::pipeToCommand(pager_, text)) return;
    }
    std::cout << text;
    std::cout.flush();
  }

  const ClientOptions& options_;
  std::string user_;
  std::string password_;
  bool showProgress_;
  std::unique_ptr<ClientConnection> connection_;
  bool sawError_ = false;
  bool halted_ = false;
  std::string pager_;
  std::string lastRefusal_;
  std::map<std::string, std::unique_ptr<TableStructure>> structures_;
};

// Runs every command in order; false when the session ended early (a lost connection, or
// a refusal when `stopOnError`).
bool runAll(Session& session, const std::vector<std::string>& commands, bool stopOnError) {
  for (const std::string& command : commands) {
    if (!session.run(command)) return false;
    if (stopOnError && !session.lastRefusal().empty()) return false;
  }
  return true;
}

// Runs a script's commands in order, reporting each refusal at its place in the file and
// ending with the summary; false when it ended early.
bool runScript(Session& session, const std::string& file,
               const std::vector<ScriptCommand>& commands, const ClientOptions& options) {
  uint32_t sent = 0;
  uint32_t refused = 0;
  std::optional<uint32_t> stoppedAt;
  bool going = true;
  for (const ScriptCommand& command : commands) {
    ++sent;
    going = session.run(command.text);
    if (!session.lastRefusal().empty()) {
      ++refused;
      const std::string report = scriptRefusal(file, command, session.lastRefusal(), options.raw);
      std::cerr << report;
      if (!options.continueOnError) {
        stoppedAt = refusalLineInScript(command, session.lastRefusal());
        going = false;
      }
    }
    if (!going) break;
  }
  std::cerr << "dovrel-client: " << scriptSummary(file, sent, refused, stoppedAt);
  return going;
}

// A harmless request that every user who logs in may make (it lists the tables the user
// may see), sent before the first prompt so that a
// wrong password ends the client at once instead of failing every command typed.
constexpr const char* LOGIN_CHECK = "get table names;";

// $PAGER, else less (quitting at once when the answer fits, keeping colours and the
// screen), else more.
std::string choosePager() {
  const char* fromEnvironment = std::getenv("PAGER");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return platform::commandOnPath("less") ? "less -FRX" : "more";
}

// The prompt loop: a lost connection or a refusal does not end it; the end of the input
// or a halt does. Ctrl-C drops the line being typed and any pending lines of a command.
void interactive(Session& session) {
  if (!session.checkLogin(LOGIN_CHECK)) return;
  if (!session.options().noPager && platform::isTerminal(platform::StandardStream::OUTPUT)) {
    session.setPager(choosePager());
  }
  platform::catchInterrupts();
  LineEditor editor(defaultHistoryPath());
  CommandAccumulator accumulator;
  std::string line;
  std::string command;
  for (;;) {
    const LineEditor::Outcome outcome =
        editor.read(accumulator.pending() ? "     -> " : "dovrel> ", &line);
    if (outcome == LineEditor::Outcome::END) break;
    if (outcome == LineEditor::Outcome::INTERRUPTED) {
      accumulator = CommandAccumulator();
      continue;
    }
    editor.remember(line);
    if (accumulator.addLine(line, &command) && !session.run(command) && session.halted()) return;
  }
  std::cout << std::endl;
  if (accumulator.finish(&command)) session.run(command);
}

std::string readAll(std::istream& in) {
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  platform::ignoreSigpipe();
  ClientOptions options;
  try {
    options = parseClientOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const ClientError& error) {
    std::cerr << "dovrel-client: " << error.what() << "\n" << clientUsage();
    return 2;
  }
  if (options.help) {
    std::cout << clientUsage();
    return 0;
  }

  std::string user = options.user;
  if (!options.userGiven) {
    const char* fromEnvironment = std::getenv("DOVREL_USER");
    if (fromEnvironment == nullptr) fromEnvironment = std::getenv("USER");
    if (fromEnvironment != nullptr) user = fromEnvironment;
  }
  if (user.empty()) {
    std::cerr << "dovrel-client: no user name (use -u)\n";
    return 2;
  }
  std::string password;
  if (const char* fromEnvironment = std::getenv("DOVREL_PASSWORD")) {
    password = fromEnvironment;
  } else if (!platform::readPasswordFromTerminal("Password: ", &password)) {
    std::cerr << "dovrel-client: no terminal to ask for the password; set DOVREL_PASSWORD\n";
    return 2;
  }
  if (!options.raw) {
    user = utf8ToCp866(user);
    password = utf8ToCp866(password);
  }

  if (!options.importFile.empty()) return runImport(options, user, password);
  if (!options.exportTable.empty()) return runExport(options, user, password);

  Session session(options, std::move(user), std::move(password));
  if (options.sources.empty()) {
    if (platform::isTerminal(platform::StandardStream::INPUT)) {
      interactive(session);
    } else {
      runAll(session, splitCommands(readAll(std::cin)), options.stopOnError);
    }
    return session.sawError() ? 1 : 0;
  }
  for (const CommandSource& source : options.sources) {
    if (source.kind == CommandSource::COMMAND) {
      if (!runAll(session, {source.value}, options.stopOnError)) break;
      continue;
    }
    std::string script;
    const platform::Status status = platform::Env::current().readWholeFile(source.value, &script);
    if (!status.isOk()) {
      std::cerr << "dovrel-client: cannot read " << status.toString() << "\n";
      return 1;
    }
    if (!runScript(session, source.value, splitScript(script), options)) break;
  }
  return session.sawError() ? 1 : 0;
}
