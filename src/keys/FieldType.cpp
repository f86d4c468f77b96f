// Field type keywords. Pure functions; any thread.
#include "keys/FieldType.h"

#include <array>

namespace dovrel::index {

namespace {

constexpr std::array<std::string_view, 8> KEYWORDS = {"text", "binary", "int64",    "double",
                                                      "date", "time",   "datetime", "file"};

}  // namespace

std::optional<FieldType> fieldTypeFromKeyword(std::string_view keyword) {
  for (std::size_t i = 0; i < KEYWORDS.size(); ++i) {
    if (KEYWORDS[i] == keyword) return static_cast<FieldType>(i);
  }
  return std::nullopt;
}

std::string_view fieldTypeKeyword(FieldType type) {
  return KEYWORDS[static_cast<std::size_t>(type)];
}

bool hasValueKey(FieldType type) {
  switch (type) {
    case FieldType::INT64:
    case FieldType::DOUBLE:
    case FieldType::DATE:
    case FieldType::TIME:
    case FieldType::DATETIME:
      return true;
    case FieldType::TEXT:
    case FieldType::BINARY:
    case FieldType::FILE:
      return false;
  }
  return false;
}

}  // namespace dovrel::index
