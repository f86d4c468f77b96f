// The search and index commands: select with its conditions, order, limit and offset; the
// key count and key listings of get index; optimize index. Each reads its command to the
// end before it answers; every index search is ended inside the index operation that
// opened it, so no search outlives a command, refused or not. Query thread only.
#include "query/SearchCommands.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "index/MergeIndexTypes.h"
#include "keys/DocNumList.h"
#include "keys/SortOrder.h"
#include "keys/TableIndex.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "query/Answer.h"
#include "query/IndexReference.h"
#include "query/Parser.h"
#include "query/PrivilegeGate.h"
#include "query/SearchExpression.h"
#include "storage/OpenMode.h"
#include "tables/Table.h"

namespace dovrel::query {

namespace {

using index::SearchMode;

// [only updated | including updated]: the search mode, PRESENT when neither is given.
SearchMode readMode(Scanner& scanner) {
  if (scanner.isName("only")) {
    scanner.next();
    scanner.expectKeyword("updated");
    return SearchMode::REMOVED;
  }
  if (scanner.isName("including")) {
    scanner.next();
    scanner.expectKeyword("updated");
    return SearchMode::ALL;
  }
  return SearchMode::PRESENT;
}

void appendLittleEndian(uint32_t number, TextBuffer& answer) {
  const char bytes[4] = {static_cast<char>(number), static_cast<char>(number >> 8),
                         static_cast<char>(number >> 16), static_cast<char>(number >> 24)};
  answer.append(bytes, sizeof bytes);
}

// The order clause of a select: the sort order of its index and the direction.
struct Order {
  std::shared_ptr<const index::SortOrder> sortOrder;
  bool descending = false;
};

// [order by member index [asc | desc]]: no order when no order clause follows. A sort index
// in which some document has two keys is refused here, whatever the result.
std::optional<Order> readOrder(Parser& parser, Table& table, SearchMode mode) {
  Scanner& scanner = parser.scanner();
  if (!scanner.isName("order")) return std::nullopt;
  scanner.next();
  scanner.expectKeyword("by");
  const IndexReference reference =
      IndexReference::read(scanner, table, IndexReference::Context::ORDER);
  Order order;
  if (scanner.isName("asc")) {
    scanner.next();
  } else if (scanner.isName("desc")) {
    scanner.next();
    order.descending = true;
  }
  order.sortOrder = reference.index->sortOrder(mode);
  if (!order.sortOrder->unique()) {
    throw SemanticError(
        "Сортировка невозможна, поскольку есть документы, дающие различные ключи сортировки"_cp866);
  }
  return order;
}

}  // namespace

void runSelect(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("select");
  const SearchMode mode = readMode(scanner);
  scanner.expectKeyword("from");
  const std::shared_ptr<Table> table = parser.readTable();
  requireSearch(*table, TablePrivilege::SELECT, mode, *user, "поиска"_cp866,
                "поиска по удалённым документам"_cp866);
  table->openFiles(OpenMode::openNormal);
  scanner.expectKeyword("where");
  const index::OrderedListPtr found = SearchExpression(scanner, *table, mode).evaluate();
  const std::optional<Order> order = readOrder(parser, *table, mode);

  bool sliced = false;
  uint32_t limit = std::numeric_limits<uint32_t>::max();
  uint32_t offset = 0;
  if (scanner.isName("limit")) {
    scanner.next();
    limit = scanner.expectNumber();
    sliced = true;
  }
  if (scanner.isName("offset")) {
    scanner.next();
    offset = scanner.expectNumber();
    sliced = true;
  }
  scanner.expectCommandEnd();
  // Only the part that is answered is put in order.
  const index::DocNumListPtr result =
      order ? order->sortOrder->slice(found, order->descending, offset, limit)
            : index::slice(found, offset, limit);

  writeOk(answer);
  answer.appendDecimal(result->length());
  if (sliced) {
    answer.append(std::string_view(" of "));
    answer.appendDecimal(found->length());
  }
  answer.append(ANSWER_LINE_END);
  if constexpr (std::endian::native == std::endian::little) {
    // The numbers as they lie in memory are the bytes of the answer.
    const std::span<const uint32_t> numbers = result->numbers();
    answer.append(reinterpret_cast<const char*>(numbers.data()), numbers.size_bytes());
  } else {
    for (const uint32_t number : result->numbers()) appendLittleEndian(number, answer);
  }
}

void runGetIndex(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("index");
  const SearchMode mode = readMode(scanner);
  const std::shared_ptr<Table> table = parser.readTablePrefix();
  const IndexReference reference =
      IndexReference::read(scanner, *table, IndexReference::Context::AFTER_TABLE);
  requireSearch(*table, TablePrivilege::SELECT, mode, *user, "получения ключей индекса"_cp866,
                "получения удалённых ключей индекса"_cp866);
  index::TableIndex& idx = *reference.index;

  if (scanner.isName("length")) {
    scanner.next();
    scanner.expectCommandEnd();
    table->openFiles(OpenMode::openNormal);
    const uint64_t count = idx.countKeys(mode);
    writeOk(answer, std::to_string(count));
    return;
  }
  if (!scanner.isName("from")) throw SemanticError("ожидается length или from"_cp866);
  scanner.next();

  // Both listings are refused where their numbers stand, before any file is touched.
  const auto readLength = [&scanner] {
    scanner.expectKeyword("length");
    const uint32_t length = scanner.expectNumber();
    if (length == 0) throw SemanticError("после length допустимо только число больше 0"_cp866);
    return length;
  };
  if (scanner.isName("key")) {
    scanner.next();
    const TextView value = scanner.expectString();
    const bool reverse = scanner.isName("reverse");
    if (reverse) scanner.next();
    const uint32_t length = readLength();
    scanner.expectCommandEnd();
    table->openFiles(OpenMode::openNormal);
    TextBuffer keys;
    idx.listKeysFrom(value, reverse, length, mode, keys);
    writeOk(answer, keys.view());
    return;
  }
  const uint32_t from = scanner.expectNumber();
  if (from != 0) throw SemanticError("после from допустимо только число 0"_cp866);
  const uint32_t length = readLength();
  scanner.expectCommandEnd();
  table->openFiles(OpenMode::openNormal);
  TextBuffer keys;
  idx.listKeysFromStart(from, length, mode, keys);
  writeOk(answer, keys.view());
}

void runOptimize(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("optimize");
  scanner.expectKeyword("index");
  const std::shared_ptr<Table> table = parser.readTablePrefix();
  const IndexReference reference =
      IndexReference::read(scanner, *table, IndexReference::Context::AFTER_TABLE);
  scanner.expectCommandEnd();
  requirePrivilege(*table->getSecurity(), TablePrivilege::OPTIMIZE, *user,
                   "оптимизации индекса"_cp866);
  table->openFiles(OpenMode::openNormal);
  const index::OptimizeResult result = reference.index->optimize();
  writeOk(answer, result == index::OptimizeResult::DONE ? std::string_view("complete")
                                                        : std::string_view("during"));
}

}  // namespace dovrel::query
