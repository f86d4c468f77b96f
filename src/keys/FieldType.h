// The eight types of a table field as the index layer sees them: which keys a value of the
// type gives, and which index kinds apply to it. Pure values; any thread.
#pragma once

#include <optional>
#include <string_view>

namespace dovrel::index {

enum class FieldType : unsigned char { TEXT, BINARY, INT64, DOUBLE, DATE, TIME, DATETIME, FILE };

// The type named by a (lower-case) type keyword of the structure text, or nothing when the
// word is none of "text", "binary", "int64", "double", "date", "time", "datetime", "file".
std::optional<FieldType> fieldTypeFromKeyword(std::string_view keyword);
// The keyword of a type, as the structure text writes it.
std::string_view fieldTypeKeyword(FieldType type);
// True for the types whose values have an order-preserving value key (int64, double, date,
// time, datetime): their text must convert, and their keys are decoded when listed.
bool hasValueKey(FieldType type);

}  // namespace dovrel::index
