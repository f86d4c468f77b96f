// Answer formats and the pieces of --fetch. Pure; any thread.
#include "client/AnswerViews.h"

#include <charconv>
#include <map>
#include <nlohmann/json.hpp>

#include "client/AnswerFormatter.h"
#include "client/ClientError.h"
#include "client/JsonExport.h"
#include "client/ScriptReport.h"
#include "client/SearchAnswer.h"
#include "client/TransferText.h"

namespace dovrel::client {

namespace {

// The words and punctuation of a command without string values: a word is a run of
// letters, digits, '_' and '.', lower-cased; any other byte but a blank is one token.
std::vector<std::string> commandTokens(std::string_view command) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < command.size()) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    const auto isWordByte = [](char b) {
      return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
             b == '_' || b == '.';
    };
    if (!isWordByte(c)) {
      tokens.emplace_back(1, c);
      ++i;
      continue;
    }
    std::string word;
    for (; i < command.size() && isWordByte(command[i]); ++i) {
      const char b = command[i];
      word += (b >= 'A' && b <= 'Z') ? static_cast<char>(b - 'A' + 'a') : b;
    }
    tokens.push_back(std::move(word));
  }
  return tokens;
}

std::optional<uint32_t> decimal(const std::string& word) {
  uint32_t value = 0;
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value);
  if (result.ec != std::errc() || result.ptr != word.data() + word.size()) return std::nullopt;
  return value;
}

void appendCounted(std::string& out, const std::optional<std::string>& value) {
  if (!value) {
    out += "null";
    return;
  }
  out += '#' + std::to_string(value->size()) + '#' + *value + '#';
}

// A document in the server's own form, "document N {" first.
std::string serverText(const NumberedDocument& numbered) {
  std::string out = "document " + std::to_string(numbered.number) + " {\r\n";
  for (const DocumentMember& member : numbered.document) {
    if (!member.isGroup) {
      out += "   field " + member.field.name + " = ";
      appendCounted(out, member.field.value);
      out += ";\r\n";
      continue;
    }
    out += "   group " + member.groupName + " {\r\n";
    for (const DocumentValue& value : member.fields) {
      out += "      field " + value.name + " = ";
      appendCounted(out, value.value);
      out += ";\r\n";
    }
    out += "   };\r\n";
  }
  return out + "};\r\n";
}

std::string tsvCell(const std::optional<std::string>& bytes, ValueCodePage values) {
  if (!bytes) return "\\N";
  std::string cell;
  for (char c : valueFromServer(*bytes, values)) {
    switch (c) {
      case '\\':
        cell += "\\\\";
        break;
      case '\t':
        cell += "\\t";
        break;
      case '\n':
        cell += "\\n";
        break;
      case '\r':
        cell += "\\r";
        break;
      default:
        cell += c;
    }
  }
  return cell;
}

std::string tsvRow(const NumberedDocument& numbered, const std::vector<std::string>& columns,
                   ValueCodePage values) {
  std::map<std::string, const std::optional<std::string>*> cells;
  for (const DocumentMember& member : numbered.document) {
    if (!member.isGroup) {
      cells[member.field.name] = &member.field.value;
      continue;
    }
    for (const DocumentValue& value : member.fields) {
      cells[member.groupName + "." + value.name] = &value.value;
    }
  }
  std::string row = std::to_string(numbered.number);
  for (const std::string& column : columns) {
    const auto cell = cells.find(column);
    row += '\t';
    row += cell == cells.end() ? "\\N" : tsvCell(*cell->second, values);
  }
  return row + '\n';
}

// The answer's lines after "OK", converted as text shows them.
std::vector<std::string> linesAfterOk(std::string_view answer, ValueCodePage values) {
  const std::string text = decodeAnswer(answer, values);
  std::vector<std::string> lines;
  std::size_t start = text.find('\n');
  while (start != std::string::npos && start + 1 < text.size()) {
    const std::size_t end = text.find('\n', start + 1);
    lines.push_back(
        text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
    start = end;
  }
  return lines;
}

// A refusal as a JSON object: the message and, when it names a place in the command (not
// in the login lines), the line and column there.
std::string refusalJson(std::string_view answer, ValueCodePage values) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  if (const auto position = refusalPosition(answer)) {
    object["error"] = decodeAnswer(position->message, values);
    if (position->line > 2) {
      object["line"] = position->line - 2;
      object["column"] = position->column;
    }
  } else {
    std::string text = decodeAnswer(answer.substr(std::min<std::size_t>(answer.size(), 7)), values);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    for (char& c : text) {
      if (c == '\n') c = ' ';
    }
    object["error"] = text;
  }
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::optional<OutputFormat> outputFormatNamed(std::string_view name) {
  if (name == "text") return OutputFormat::TEXT;
  if (name == "json") return OutputFormat::JSON;
  if (name == "tsv") return OutputFormat::TSV;
  return std::nullopt;
}

std::optional<std::vector<GetClause>> getDocumentClauses(std::string_view command) {
  const std::vector<std::string> tokens = commandTokens(command);
  if (tokens.empty() || tokens[0] != "get") return std::nullopt;
  std::vector<GetClause> clauses;
  std::size_t i = 1;
  while (i < tokens.size()) {
    if (i + 4 >= tokens.size() || tokens[i] != "document" || tokens[i + 2] != "from" ||
        tokens[i + 3] != "table") {
      return std::nullopt;
    }
    const auto number = decimal(tokens[i + 1]);
    if (!number) return std::nullopt;
    clauses.push_back({*number, tokens[i + 4]});
    i += 5;
    if (i < tokens.size() && (tokens[i] == "length" || tokens[i] == "meta")) return std::nullopt;
    while (i < tokens.size() && tokens[i] != ";") ++i;  // an `only` list
    if (i == tokens.size()) return std::nullopt;
    ++i;
  }
  if (clauses.empty()) return std::nullopt;
  return clauses;
}

std::string searchedTable(std::string_view command) {
  const std::vector<std::string> tokens = commandTokens(command);
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i] == "from") return tokens[i + 1];
  }
  return "";
}

std::string getDocumentsCommand(std::string_view table, const std::vector<uint32_t>& numbers) {
  std::string command = "get ";
  for (uint32_t number : numbers) {
    command += "document " + std::to_string(number) + " from table ";
    command += table;
    command += ";\r\n";
  }
  return command;
}

std::optional<std::vector<DocumentText>> documentsOfAnswer(std::string_view answer) {
  try {
    AnswerScanner scanner(answer);
    scanner.expect("OK");
    std::vector<DocumentText> documents;
    while (scanner.peek().kind != AnswerToken::END) documents.push_back(readDocument(scanner));
    if (documents.empty()) return std::nullopt;
    return documents;
  } catch (const ClientError&) {
    return std::nullopt;
  }
}

std::vector<std::string> tsvColumns(const TableStructure& structure) {
  std::vector<std::string> columns;
  for (const MemberSpec& member : structure.members) {
    if (!member.isGroup) {
      columns.push_back(member.field.name);
      continue;
    }
    for (const FieldSpec& field : member.fields)
      columns.push_back(member.groupName + "." + field.name);
  }
  return columns;
}

std::vector<std::string> tsvColumns(const std::vector<NumberedDocument>& documents) {
  std::vector<std::string> columns;
  const auto add = [&columns](std::string name) {
    for (const std::string& seen : columns) {
      if (seen == name) return;
    }
    columns.push_back(std::move(name));
  };
  for (const NumberedDocument& numbered : documents) {
    for (const DocumentMember& member : numbered.document) {
      if (!member.isGroup) {
        add(member.field.name);
        continue;
      }
      for (const DocumentValue& value : member.fields) add(member.groupName + "." + value.name);
    }
  }
  return columns;
}

std::string tsvHeader(const std::vector<std::string>& columns) {
  std::string header = "@id";
  for (const std::string& column : columns) header += '\t' + column;
  return header + '\n';
}

std::string showDocuments(const std::vector<NumberedDocument>& documents,
                          const std::vector<std::string>& columns, const AnswerView& view) {
  static const TableStructure unknown;
  std::string out;
  for (const NumberedDocument& numbered : documents) {
    switch (view.format) {
      case OutputFormat::TEXT: {
        const std::string text = serverText(numbered);
        out += view.raw ? text : decodeAnswer(text, view.values);
        break;
      }
      case OutputFormat::JSON:
        out += jsonLineFromDocument(numbered.number, numbered.document,
                                    numbered.structure != nullptr ? *numbered.structure : unknown,
                                    view.values);
        out += '\n';
        break;
      case OutputFormat::TSV:
        out += tsvRow(numbered, columns, view.values);
        break;
    }
  }
  return out;
}

std::string showSearch(std::string_view countLine, uint32_t found,
                       const std::vector<uint32_t>& numbers, OutputFormat format) {
  std::string out;
  if (format == OutputFormat::JSON) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["count"] = numbers.size();
    object["found"] = found;
    object["documents"] = numbers;
    return object.dump() + "\n";
  }
  out = format == OutputFormat::TSV ? "@id\n" : "OK\n" + std::string(countLine) + "\n";
  for (uint32_t number : numbers) out += std::to_string(number) + "\n";
  return out;
}

ShownAnswer showAnswer(
    std::string_view answer, std::string_view command, const AnswerView& view,
    const std::function<const TableStructure*(const std::string&)>& structureOf) {
  const bool ok = answer.starts_with("OK");
  if (!ok) {
    if (view.format == OutputFormat::JSON) return {refusalJson(answer, view.values), ""};
    const std::string text = formatAnswer(answer, false, view.raw, view.values);
    if (view.format == OutputFormat::TSV) return {"", text};
    return {text, ""};
  }
  if (isSearchCommand(command)) {
    SearchAnswer decoded;
    std::string error;
    if (decodeSearchAnswer(answer, &decoded, &error)) {
      return {showSearch(decoded.countLine, decoded.found, decoded.documents, view.format), ""};
    }
  }
  // Text labels the documents only of several clauses, where the blocks would otherwise be
  // told apart by counting; one document is shown as the server answers it.
  const auto clauses = view.raw ? std::nullopt : getDocumentClauses(command);
  if (clauses && (clauses->size() > 1 || view.format != OutputFormat::TEXT)) {
    auto documents = documentsOfAnswer(answer);
    if (documents && documents->size() == clauses->size()) {
      std::vector<NumberedDocument> numbered;
      for (std::size_t i = 0; i < documents->size(); ++i) {
        const TableStructure* structure =
            view.format == OutputFormat::JSON ? structureOf((*clauses)[i].table) : nullptr;
        numbered.push_back({(*clauses)[i].number, structure, std::move((*documents)[i])});
      }
      switch (view.format) {
        case OutputFormat::TEXT:
          return {"OK\n" + showDocuments(numbered, {}, view), ""};
        case OutputFormat::JSON:
          return {showDocuments(numbered, {}, view), ""};
        case OutputFormat::TSV: {
          const auto columns = tsvColumns(numbered);
          return {tsvHeader(columns) + showDocuments(numbered, columns, view), ""};
        }
      }
    }
  }
  if (view.format == OutputFormat::TEXT) {
    return {formatAnswer(answer, isSearchCommand(command), view.raw, view.values), ""};
  }
  const std::vector<std::string> lines = linesAfterOk(answer, view.values);
  if (view.format == OutputFormat::JSON) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["ok"] = true;
    object["lines"] = lines;
    return {object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", ""};
  }
  std::string out;
  for (const std::string& line : lines) out += line + '\n';
  return {out, ""};
}

}  // namespace dovrel::client
