// Import and export runs over one connection. Main thread only.
#include "client/JsonTransfer.h"

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "client/JsonExport.h"
#include "client/JsonImport.h"
#include "client/ScriptReport.h"
#include "client/SearchAnswer.h"
#include "client/TableStructure.h"
#include "client/TransferText.h"
#include "foundation/Cp866.h"
#include "platform/Clock.h"
#include "platform/ServerSupport.h"

namespace dovrel::client {

namespace {

// One connection carrying the login with every request.
class Requester {
 public:
  Requester(const ClientOptions& options, std::string user, std::string password)
      : connection_(options.host, static_cast<uint16_t>(options.port)),
        user_(std::move(user)),
        password_(std::move(password)),
        values_(options.valuesIn866 ? ValueCodePage::VALUES_866 : ValueCodePage::VALUES_1251) {}
  Answer request(const std::string& command) {
    return connection_.request(buildQuery(user_, password_, command), RequestMode::KNOWN_LENGTH);
  }
  ValueCodePage values() const { return values_; }

 private:
  ClientConnection connection_;
  std::string user_;
  std::string password_;
  ValueCodePage values_;
};

// An answer's text for standard error: UTF-8, lines joined with blanks, no "ERROR".
std::string refusalText(std::string_view answer, ValueCodePage values) {
  if (const auto position = refusalPosition(answer)) {
    return decodeAnswer(position->message, values);
  }
  std::string text =
      decodeAnswer(answer.starts_with("ERROR\r\n") ? answer.substr(7) : answer, values);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

bool isName(const std::string& text) {
  if (text.empty() || text.size() > 31 || (text[0] >= '0' && text[0] <= '9')) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

// The structure of `table`, or nothing after reporting why.
std::optional<TableStructure> readStructure(Requester& requester, const std::string& table) {
  if (!isName(table)) {
    std::cerr << "dovrel-client: not a table name: " << table << "\n";
    return std::nullopt;
  }
  const Answer answer = requester.request("get table " + table + " structure;");
  if (!answer.isOk()) {
    std::cerr << "dovrel-client: " << refusalText(answer.text, requester.values()) << "\n";
    return std::nullopt;
  }
  return parseTableStructure(answer.text);
}

class Importer {
 public:
  Importer(const ClientOptions& options, Requester& requester, const TableStructure& structure)
      : options_(options),
        requester_(requester),
        structure_(structure),
        showProgress_(platform::isTerminal(platform::StandardStream::ERROR)),
        startMs_(platform::tickCountMs()) {}

  // False after reporting a refusal.
  bool run(std::istream& in) {
    std::string line;
    uint32_t lineNumber = 0;
    while (std::getline(in, line)) {
      ++lineNumber;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::string clause;
      try {
        clause = addClauseFromJson(nlohmann::json::parse(line), structure_, requester_.values());
      } catch (const nlohmann::json::exception& error) {
        return refuseBeforeSending(lineNumber, std::string("not valid JSON: ") + error.what());
      } catch (const ClientError& error) {
        return refuseBeforeSending(lineNumber, error.what());
      }
      batch_.push_back({lineNumber, std::move(clause)});
      if (batch_.size() >= IMPORT_BATCH && !sendBatch()) return false;
    }
    if (!sendBatch()) return false;
    if (showProgress_) std::cerr << "\n";
    std::cerr << "dovrel-client: " << options_.importFile << ": " << added_
              << " documents added to " << structure_.name
              << (options_.noCommit ? " (not committed)" : "") << "\n";
    return true;
  }

 private:
  struct Pending {
    uint32_t line;
    std::string clause;
  };

  // The lines before `lineNumber` go out first, so everything before a bad line stays.
  bool refuseBeforeSending(uint32_t lineNumber, const std::string& message) {
    if (!sendBatch()) return false;
    report(lineNumber, message);
    return false;
  }

  void report(uint32_t lineNumber, const std::string& message) {
    if (showProgress_) std::cerr << "\n";
    std::cerr << options_.importFile << ":" << lineNumber << ": " << message << "\n"
              << "dovrel-client: " << options_.importFile << ": " << added_
              << " documents added to " << structure_.name << " from the lines before line "
              << lineNumber << (options_.noCommit ? " (not committed)" : "")
              << "; nothing after it was sent\n";
  }

  bool commit() {
    if (options_.noCommit) return true;
    const Answer answer = requester_.request("commit;");
    if (answer.isOk()) return true;
    std::cerr << "dovrel-client: commit refused: " << refusalText(answer.text, requester_.values())
              << "\n";
    return false;
  }

  bool sendBatch() {
    if (batch_.empty()) return true;
    // One clause per line, so a refusal's line names its clause; lines 1 and 2 of the
    // request are the login lines. Line ends inside a counted string are not counted by
    // the server, and the clause has none outside them.
    std::string command;
    std::vector<uint32_t> firstLines;
    uint32_t requestLine = 3;
    for (const Pending& pending : batch_) {
      firstLines.push_back(requestLine);
      command += pending.clause;
      command += "\r\n";
      ++requestLine;
    }
    const Answer answer = requester_.request(command);
    if (answer.isOk()) {
      added_ += static_cast<uint32_t>(batch_.size());
      batch_.clear();
      if (!commit()) return false;
      showProgress();
      return true;
    }
    // The clauses before the refused one were done; count them and keep them.
    std::size_t refused = 0;
    if (const auto position = refusalPosition(answer.text)) {
      while (refused + 1 < firstLines.size() && firstLines[refused + 1] <= position->line) {
        ++refused;
      }
    }
    added_ += static_cast<uint32_t>(refused);
    const uint32_t line = batch_[refused].line;
    batch_.clear();
    commit();
    report(line, refusalText(answer.text, requester_.values()));
    return false;
  }

  void showProgress() {
    if (!showProgress_) return;
    const uint64_t elapsedMs = platform::tickCountMs() - startMs_;
    const uint64_t rate = elapsedMs == 0 ? 0 : uint64_t{added_} * 1000 / elapsedMs;
    std::cerr << "\rdovrel-client: " << added_ << " documents, " << rate << " documents/s"
              << std::flush;
  }

  const ClientOptions& options_;
  Requester& requester_;
  const TableStructure& structure_;
  const bool showProgress_;
  const uint64_t startMs_;
  std::vector<Pending> batch_;
  uint32_t added_ = 0;
};

// The document numbers that `select from T where CONDITION;` answers, or nothing after
// reporting why.
std::optional<std::vector<uint32_t>> selectNumbers(Requester& requester, const std::string& table,
                                                   const std::string& condition) {
  const Answer answer = requester.request("select from " + table + " where " +
                                          commandToServer(condition, requester.values()) + ";");
  SearchAnswer decoded;
  std::string error;
  if (!answer.isOk() || !decodeSearchAnswer(answer.text, &decoded, &error)) {
    std::cerr << "dovrel-client: "
              << (answer.isOk() ? error : refusalText(answer.text, requester.values())) << "\n";
    return std::nullopt;
  }
  return std::move(decoded.documents);
}

std::string getClauses(const std::vector<uint32_t>& numbers, const std::string& table,
                       const char* suffix) {
  std::string command = "get ";
  for (uint32_t number : numbers) {
    command += "document " + std::to_string(number) + " from table " + table + suffix + ";\r\n";
  }
  return command;
}

// Writes the documents `numbers`; false after reporting a refusal.
bool writeDocuments(Requester& requester, const TableStructure& structure,
                    const std::vector<uint32_t>& numbers) {
  if (numbers.empty()) return true;
  const Answer answer = requester.request(getClauses(numbers, structure.name, ""));
  if (!answer.isOk()) {
    std::cerr << "dovrel-client: " << refusalText(answer.text, requester.values()) << "\n";
    return false;
  }
  AnswerScanner scanner(answer.text);
  scanner.expect("OK");
  std::string out;
  for (uint32_t number : numbers) {
    out += jsonLineFromDocument(number, readDocument(scanner), structure, requester.values());
    out += '\n';
  }
  std::cout << out << std::flush;
  return true;
}

// Whether a refusal of a read is the one for a deleted or replaced document that the user
// may not read without history.
bool isDeletedRefusal(std::string_view answer) {
  return answer.find("удалённого документа"_cp866) != std::string_view::npos;
}

// The live ones among `numbers`, from their meta records; nothing after reporting why.
std::optional<std::vector<uint32_t>> liveNumbers(Requester& requester, const std::string& table,
                                                 const std::vector<uint32_t>& numbers) {
  const Answer answer = requester.request(getClauses(numbers, table, " meta"));
  if (!answer.isOk() && isDeletedRefusal(answer.text)) {
    // A user without history is refused the whole batch at its first deleted document:
    // ask for each number on its own, and skip the ones refused for that reason.
    std::vector<uint32_t> live;
    for (uint32_t number : numbers) {
      const Answer one = requester.request(getClauses({number}, table, " meta"));
      if (!one.isOk() && isDeletedRefusal(one.text)) continue;
      if (!one.isOk()) {
        std::cerr << "dovrel-client: " << refusalText(one.text, requester.values()) << "\n";
        return std::nullopt;
      }
      AnswerScanner scanner(one.text);
      scanner.expect("OK");
      if (readMetaIsLive(scanner)) live.push_back(number);
    }
    return live;
  }
  if (!answer.isOk()) {
    std::cerr << "dovrel-client: " << refusalText(answer.text, requester.values()) << "\n";
    return std::nullopt;
  }
  AnswerScanner scanner(answer.text);
  scanner.expect("OK");
  std::vector<uint32_t> live;
  for (uint32_t number : numbers) {
    if (readMetaIsLive(scanner)) live.push_back(number);
  }
  return live;
}

bool exportAll(Requester& requester, const TableStructure& structure) {
  const Answer answer = requester.request("get table " + structure.name + " length;");
  AnswerScanner scanner(answer.text);
  if (!answer.isOk()) {
    std::cerr << "dovrel-client: " << refusalText(answer.text, requester.values()) << "\n";
    return false;
  }
  scanner.expect("OK");
  scanner.expectWord();  // the live count
  const std::string given = scanner.expectWord();
  const uint64_t total = std::stoull(given);
  for (uint64_t first = 0; first < total; first += EXPORT_BATCH) {
    std::vector<uint32_t> numbers;
    for (uint64_t n = first; n < total && n < first + EXPORT_BATCH; ++n) {
      numbers.push_back(static_cast<uint32_t>(n));
    }
    const auto live = liveNumbers(requester, structure.name, numbers);
    if (!live || !writeDocuments(requester, structure, *live)) return false;
  }
  return true;
}

}  // namespace

int runImport(const ClientOptions& options, const std::string& user, const std::string& password) {
  std::ifstream in(options.importFile, std::ios::binary);
  if (!in) {
    std::cerr << "dovrel-client: cannot read " << options.importFile << "\n";
    return 1;
  }
  try {
    Requester requester(options, user, password);
    const auto structure = readStructure(requester, options.table);
    if (!structure) return 1;
    Importer importer(options, requester, *structure);
    return importer.run(in) ? 0 : 1;
  } catch (const ClientError& error) {
    std::cerr << "dovrel-client: " << error.what() << "\n";
    return 1;
  }
}

int runExport(const ClientOptions& options, const std::string& user, const std::string& password) {
  try {
    Requester requester(options, user, password);
    const auto structure = readStructure(requester, options.exportTable);
    if (!structure) return 1;
    if (!options.whereGiven) return exportAll(requester, *structure) ? 0 : 1;
    const auto numbers = selectNumbers(requester, structure->name, options.where);
    if (!numbers) return 1;
    for (std::size_t first = 0; first < numbers->size(); first += EXPORT_BATCH) {
      const std::vector<uint32_t> batch(
          numbers->begin() + static_cast<std::ptrdiff_t>(first),
          numbers->begin() +
              static_cast<std::ptrdiff_t>(std::min(first + EXPORT_BATCH, numbers->size())));
      if (!writeDocuments(requester, *structure, batch)) return 1;
    }
    return 0;
  } catch (const ClientError& error) {
    std::cerr << "dovrel-client: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace dovrel::client
