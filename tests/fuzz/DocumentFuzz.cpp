// Fuzz target: the document reader (add document from a client, and every stored document
// read back). A document that reads must write a canonical text that reads back into a
// document writing the same text, since that text is what the table stores; the check
// against a table with fields of every type and a group must agree for both readings, and
// projecting the document onto some of its names must not fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "fuzz/FuzzSupport.h"
#include "tables/Document.h"
#include "tables/DocumentField.h"
#include "tables/DocumentGroup.h"
#include "tables/DocumentMember.h"
#include "tables/NameSet.h"
#include "tables/Table.h"

using namespace dovrel;

namespace {

// Every field type, a nullable field and a group; indexes of several kinds. The table's
// files are never touched.
const char* const STRUCTURE =
    "table t alias 'T' {"
    " field title alias 'Title' : text { index w 'words'; index p 'words-prefix size=16'; };"
    " field n alias '' : int64 null { index v 'whole'; };"
    " field x alias '' : double null { };"
    " field body alias '' : binary null { };"
    " group when alias 'W' {"
    "   field d alias '' : date { index v 'whole'; };"
    "   field t alias '' : time null { };"
    "   field dt alias '' : datetime null { };"
    " };"
    " field f alias '' : file null { };"
    "};";

Table& fuzzTable() {
  static const std::shared_ptr<Table> table = [] {
    Scanner scanner{TextView(STRUCTURE)};
    scanner.next();
    return Table::read(scanner, "");
  }();
  return *table;
}

std::shared_ptr<Document> readDocument(TextView text) {
  try {
    Scanner scanner(text);
    scanner.next();
    return Document::read(scanner);
  } catch (const TextError&) {
  } catch (const SemanticError&) {
  }
  return nullptr;
}

bool validates(const Document& document) {
  try {
    document.validate(fuzzTable());
    return true;
  } catch (const SemanticError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  const auto document =
      readDocument(TextView(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size)));
  if (document == nullptr) return 0;
  TextBuffer written;
  document->writeText(written);
  const auto again = readDocument(written.view());
  if (again == nullptr) fuzz::fail("written document does not read back:\n" + written.toString());
  TextBuffer rewritten;
  again->writeText(rewritten);
  if (rewritten.stringView() != written.stringView()) {
    fuzz::fail("document changes on a second write:\n" + written.toString());
  }
  if (validates(*document) != validates(*again)) {
    fuzz::fail("the stored form of a document is judged otherwise:\n" + written.toString());
  }
  // Every other top-level name whole, and the first field of each group alone.
  std::shared_ptr<NameSet> names(new NameSet());
  bool take = true;
  for (const auto& member : document->members()) {
    if (take) names->addName(member->getName());
    take = !take;
    if (auto group = std::dynamic_pointer_cast<DocumentGroup>(member)) {
      if (!group->fields().empty()) {
        names->addGroupField(group->getName(), group->fields().front()->getName());
      }
    }
  }
  TextBuffer projected;
  document->project(*names)->writeText(projected);
  if (projected.length() > written.length()) fuzz::fail("projection larger than the document");
  return 0;
}
