// Turning one JSON object (one line of an import file) into an `add document` clause for a
// table whose structure is known. Pure functions; any thread.
//
// Keys are the table's field and group names (in any letter case, as the server folds
// names); a group is a nested object, or null or absent when the document leaves it out.
// The key "@id" (which no field can be named, since names hold no '@') is the document
// number an export writes; it is ignored, since the server numbers new documents itself.
// Values: text, binary and file fields take strings; int64 takes integers; double takes
// numbers; date takes "YYYY-MM-DD" (or the server's "DD.MM.YYYY"); time "HH:MM[:SS]";
// datetime "YYYY-MM-DDTHH:MM[:SS]" (or the server's form); null where the field allows it,
// and a field that allows null may be left out (it is sent as null).
// Every value is sent as a counted string, so no byte of the data can end the clause.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "client/TableStructure.h"
#include "client/TextEncoding.h"

namespace dovrel::client {

// The key that carries the document number in exported lines.
inline constexpr std::string_view DOCUMENT_NUMBER_KEY = "@id";

// The clause `add document { ... } to table T;` for `object`. Throws ClientError with a
// message for the user (in UTF-8) when the object does not fit the structure: not an
// object, a key that is no member, a missing field, a value of the wrong type or form,
// null where the field does not allow it, a character the code page cannot hold.
std::string addClauseFromJson(const nlohmann::json& object, const TableStructure& structure,
                              ValueCodePage values);

// The server's text form of `value` for a field of type `field.type` (the bytes that go
// inside the counted string). Throws ClientError as above.
std::string serverValueFromJson(const nlohmann::json& value, const FieldSpec& field,
                                ValueCodePage values);

}  // namespace dovrel::client
