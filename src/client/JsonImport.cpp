// JSON objects into add clauses. Pure; any thread.
#include "client/JsonImport.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "client/ClientError.h"
#include "client/TransferText.h"

namespace dovrel::client {

namespace {

using nlohmann::json;

bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "HH:MM" or "HH:MM:SS".
bool isTime(std::string_view text) {
  if (text.size() != 5 && text.size() != 8) return false;
  if (!isDigits(text.substr(0, 2)) || text[2] != ':' || !isDigits(text.substr(3, 2))) return false;
  return text.size() == 5 || (text[5] == ':' && isDigits(text.substr(6, 2)));
}

bool isServerDate(std::string_view text) {
  return text.size() == 10 && isDigits(text.substr(0, 2)) && text[2] == '.' &&
         isDigits(text.substr(3, 2)) && text[5] == '.' && isDigits(text.substr(6, 4));
}

bool isIsoDate(std::string_view text) {
  return text.size() == 10 && isDigits(text.substr(0, 4)) && text[4] == '-' &&
         isDigits(text.substr(5, 2)) && text[7] == '-' && isDigits(text.substr(8, 2));
}

// "YYYY-MM-DD" as "DD.MM.YYYY"; the server's own form as it is; empty when neither.
std::string serverDate(std::string_view text) {
  if (isServerDate(text)) return std::string(text);
  if (!isIsoDate(text)) return "";
  return std::string(text.substr(8, 2)) + "." + std::string(text.substr(5, 2)) + "." +
         std::string(text.substr(0, 4));
}

std::string fold(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A double in the server's form: a '.' is required, the digits as one number must stay
// at most 10^16, so at most 16 significant digits are written.
std::string serverDouble(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value);
  std::string shortest(text, result.ptr);
  std::size_t digits = 0;
  for (char c : shortest.substr(0, shortest.find('e'))) digits += (c >= '0' && c <= '9');
  if (digits > 16) {
    result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 16);
    shortest.assign(text, result.ptr);
  }
  const std::size_t exponent = shortest.find('e');
  std::string mantissa = shortest.substr(0, exponent);
  if (mantissa.find('.') == std::string::npos) mantissa += ".0";
  return exponent == std::string::npos ? mantissa : mantissa + shortest.substr(exponent);
}

[[noreturn]] void refuse(const FieldSpec& field, const std::string& why) {
  throw ClientError("field " + field.name + " (" + field.type + "): " + why);
}

void appendCounted(std::string& out, const std::string& bytes) {
  out += '#';
  out += std::to_string(bytes.size());
  out += '#';
  out += bytes;
  out += '#';
}

void appendField(std::string& out, const FieldSpec& field, const json* value,
                 ValueCodePage values) {
  out += "field ";
  out += field.name;
  out += " = ";
  if (value == nullptr || value->is_null()) {
    if (!field.nullable) {
      refuse(field,
             value == nullptr ? "missing (the field does not allow null)" : "null is not allowed");
    }
    out += "null";
  } else {
    appendCounted(out, serverValueFromJson(*value, field, values));
  }
  out += "; ";
}

// The members of `object` by folded name; throws on a key that is no member or a repeat.
std::vector<std::pair<std::string, const json*>> keysOf(const json& object) {
  std::vector<std::pair<std::string, const json*>> keys;
  for (auto item = object.begin(); item != object.end(); ++item) {
    if (item.key() == DOCUMENT_NUMBER_KEY) continue;
    std::string name = fold(item.key());
    for (const auto& seen : keys) {
      if (seen.first == name) throw ClientError("key \"" + item.key() + "\" given twice");
    }
    keys.emplace_back(std::move(name), &item.value());
  }
  return keys;
}

const json* take(std::vector<std::pair<std::string, const json*>>& keys, const std::string& name) {
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    if (it->first == name) {
      const json* value = it->second;
      keys.erase(it);
      return value;
    }
  }
  return nullptr;
}

}  // namespace

std::string serverValueFromJson(const json& value, const FieldSpec& field, ValueCodePage values) {
  const std::string& type = field.type;
  if (type == "int64") {
    if (value.is_number_integer()) {
      return value.is_number_unsigned() ? std::to_string(value.get<uint64_t>())
                                        : std::to_string(value.get<int64_t>());
    }
    refuse(field, "expected an integer, got " + value.dump());
  }
  if (type == "double") {
    if (value.is_number()) return serverDouble(value.get<double>());
    refuse(field, "expected a number, got " + value.dump());
  }
  if (!value.is_string()) refuse(field, "expected a string, got " + value.dump());
  const std::string& text = value.get_ref<const std::string&>();
  if (type == "date") {
    std::string date = serverDate(text);
    if (date.empty()) refuse(field, "expected a date YYYY-MM-DD, got \"" + text + "\"");
    return date;
  }
  if (type == "time") {
    if (!isTime(text)) refuse(field, "expected a time HH:MM[:SS], got \"" + text + "\"");
    return text;
  }
  if (type == "datetime") {
    const std::string date = text.size() > 11 ? serverDate(text.substr(0, 10)) : "";
    if (date.empty() || (text[10] != 'T' && text[10] != ' ') || !isTime(text.substr(11))) {
      refuse(field, "expected a date and time YYYY-MM-DDTHH:MM[:SS], got \"" + text + "\"");
    }
    return date + " " + text.substr(11);
  }
  std::string bytes;
  std::string error;
  if (!valueToServer(text, values, &bytes, &error)) refuse(field, error);
  return bytes;
}

std::string addClauseFromJson(const json& object, const TableStructure& structure,
                              ValueCodePage values) {
  if (!object.is_object()) throw ClientError("not a JSON object");
  auto keys = keysOf(object);
  for (const auto& key : keys) {
    if (structure.find(key.first) == nullptr) {
      throw ClientError("table " + structure.name + " has no field or group " + key.first);
    }
  }
  std::string clause = "add document { ";
  for (const MemberSpec& member : structure.members) {
    const json* value = take(keys, member.name());
    if (!member.isGroup) {
      appendField(clause, member.field, value, values);
      continue;
    }
    if (value == nullptr || value->is_null()) continue;  // the document leaves the group out
    if (!value->is_object()) {
      throw ClientError("group " + member.groupName + ": expected an object, got " + value->dump());
    }
    auto groupKeys = keysOf(*value);
    for (const auto& key : groupKeys) {
      bool known = false;
      for (const FieldSpec& field : member.fields) known = known || field.name == key.first;
      if (!known) throw ClientError("group " + member.groupName + " has no field " + key.first);
    }
    clause += "group " + member.groupName + " { ";
    for (const FieldSpec& field : member.fields) {
      const json* fieldValue = take(groupKeys, field.name);
      try {
        appendField(clause, field, fieldValue, values);
      } catch (const ClientError& error) {
        throw ClientError("group " + member.groupName + ", " + error.what());
      }
    }
    clause += "}; ";
  }
  clause += "} to table " + structure.name + ";";
  return clause;
}

}  // namespace dovrel::client
