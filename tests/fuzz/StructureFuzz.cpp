// Fuzz target: the table structure reader (what create table reads from a client and what
// start-up reads from every NAME.structure file). A structure that reads must write a text
// that reads back into a structure writing the same text: the server stores the written
// form and reloads it at every start.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "fuzz/FuzzSupport.h"
#include "tables/Table.h"

using namespace dovrel;

namespace {

// Reads a table with the scanner on the keyword `table`, as create table and the loader
// do. Returns an empty handle for a refused text.
std::shared_ptr<Table> readTable(TextView text) {
  try {
    Scanner scanner(text);
    scanner.next();
    return Table::read(scanner, "");
  } catch (const TextError&) {
  } catch (const SemanticError&) {
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  const auto table =
      readTable(TextView(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size)));
  if (table == nullptr) return 0;
  TextBuffer written;
  table->writeText(written);
  const auto again = readTable(written.view());
  if (again == nullptr) fuzz::fail("written structure does not read back:\n" + written.toString());
  TextBuffer rewritten;
  again->writeText(rewritten);
  if (rewritten.stringView() != written.stringView()) {
    fuzz::fail("structure changes on a second write:\n" + written.toString() + "\n---\n" +
               rewritten.toString());
  }
  return 0;
}
