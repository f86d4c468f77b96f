// Turning a document as the server answers it into one JSON object (one line of an export):
// "@id" with the document number first, then the members in the document's order, a group
// as a nested object, values in the forms the import takes back (see JsonImport.h): int64
// and double as numbers, dates as "YYYY-MM-DD", date-times as "YYYY-MM-DDTHH:MM[:SS]",
// null as null. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "client/TableStructure.h"
#include "client/TextEncoding.h"

namespace dovrel::client {

// The line (without its line feed) for document `number`. A value whose type the structure
// does not name, or whose text does not have its type's form, is written as a string.
std::string jsonLineFromDocument(uint32_t number, const DocumentText& document,
                                 const TableStructure& structure, ValueCodePage values);

// The JSON value of the stored text `bytes` of a field of type `type`.
nlohmann::ordered_json jsonFromServerValue(const std::string& bytes, const std::string& type,
                                           ValueCodePage values);

}  // namespace dovrel::client
