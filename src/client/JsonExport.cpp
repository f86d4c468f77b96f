// Documents into JSON lines. Pure; any thread.
#include "client/JsonExport.h"

#include <charconv>

#include "client/JsonImport.h"
#include "client/TransferText.h"

namespace dovrel::client {

namespace {

using nlohmann::ordered_json;

const FieldSpec* findField(const std::vector<FieldSpec>& fields, const std::string& name) {
  for (const FieldSpec& field : fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "DD.MM.YYYY" as "YYYY-MM-DD"; empty when it is not that form.
std::string isoDate(std::string_view text) {
  if (text.size() != 10 || !isDigits(text.substr(0, 2)) || text[2] != '.' ||
      !isDigits(text.substr(3, 2)) || text[5] != '.' || !isDigits(text.substr(6, 4))) {
    return "";
  }
  return std::string(text.substr(6, 4)) + "-" + std::string(text.substr(3, 2)) + "-" +
         std::string(text.substr(0, 2));
}

ordered_json valueOf(const DocumentValue& value, const FieldSpec* field, ValueCodePage values) {
  if (!value.value) return nullptr;
  return jsonFromServerValue(*value.value, field != nullptr ? field->type : "text", values);
}

}  // namespace

ordered_json jsonFromServerValue(const std::string& bytes, const std::string& type,
                                 ValueCodePage values) {
  const char* begin = bytes.data();
  const char* end = bytes.data() + bytes.size();
  if (type == "int64") {
    int64_t number = 0;
    const auto result = std::from_chars(begin, end, number);
    if (result.ec == std::errc() && result.ptr == end) return number;
  } else if (type == "double") {
    double number = 0;
    const auto result = std::from_chars(begin, end, number);
    if (result.ec == std::errc() && result.ptr == end) return number;
  } else if (type == "date") {
    const std::string date = isoDate(bytes);
    if (!date.empty()) return date;
  } else if (type == "datetime") {
    const std::string date = bytes.size() > 11 ? isoDate(bytes.substr(0, 10)) : "";
    if (!date.empty() && bytes[10] == ' ') return date + "T" + bytes.substr(11);
  }
  return valueFromServer(bytes, values);
}

std::string jsonLineFromDocument(uint32_t number, const DocumentText& document,
                                 const TableStructure& structure, ValueCodePage values) {
  ordered_json line = ordered_json::object();
  line[std::string(DOCUMENT_NUMBER_KEY)] = number;
  for (const DocumentMember& member : document) {
    if (!member.isGroup) {
      const MemberSpec* spec = structure.find(member.field.name);
      line[member.field.name] =
          valueOf(member.field, spec != nullptr && !spec->isGroup ? &spec->field : nullptr, values);
      continue;
    }
    const MemberSpec* spec = structure.find(member.groupName);
    ordered_json group = ordered_json::object();
    for (const DocumentValue& value : member.fields) {
      group[value.name] = valueOf(
          value, spec != nullptr && spec->isGroup ? findField(spec->fields, value.name) : nullptr,
          values);
    }
    line[member.groupName] = std::move(group);
  }
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace dovrel::client
