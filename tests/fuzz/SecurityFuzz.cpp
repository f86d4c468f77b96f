// Fuzz target: the security file loader, over a catalogue of two tables. A file that
// loads must save a text that loads again into a store saving the same text: the server
// rewrites the file after every security command and reads it at every start.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "fuzz/FuzzSupport.h"
#include "security/Security.h"
#include "tables/Table.h"
#include "tables/TableSet.h"

using namespace dovrel;

namespace {

const char* const TABLES[] = {
    "table books alias 'B' { field title alias '' : text { index w 'words'; }; };",
    "table notes alias 'N' { };",
};

// A fresh catalogue each time: the loader gives every table its security record once.
std::shared_ptr<TableSet> makeTables(const std::string& dataDirectory) {
  auto tables = std::make_shared<TableSet>(dataDirectory);
  for (const char* structure : TABLES) {
    Scanner scanner{TextView(structure)};
    scanner.next();
    tables->addTable(Table::read(scanner, dataDirectory));
  }
  return tables;
}

const fuzz::TempDir& dir() {
  static const fuzz::TempDir instance("security");
  return instance;
}

// Loads `text` as the security file; the saved text, or nothing when the load is refused.
bool load(std::string_view text, TextBuffer& saved) {
  const std::string path = dir().path() + "security.txt";
  fuzz::writeWholeFile(path, text);
  try {
    const std::shared_ptr<TableSet> tables = makeTables(dir().path());
    Security security(path, *tables);
    security.write(saved);
    return true;
  } catch (const TextError&) {
  } catch (const SemanticError&) {
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  TextBuffer saved;
  if (!load(std::string_view(reinterpret_cast<const char*>(data), size), saved)) return 0;
  TextBuffer again;
  if (!load(saved.stringView(), again)) {
    fuzz::fail("saved security file does not load:\n" + saved.toString());
  }
  if (again.stringView() != saved.stringView()) {
    fuzz::fail("security file changes on a second save:\n" + saved.toString());
  }
  return 0;
}
