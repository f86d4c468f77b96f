// SearchExpression: the where clause of select, read and evaluated in one pass. Each
// condition runs its index search as soon as it is read; `and` intersects the lists of a
// term and `or` unites the terms, so and binds tighter than or and parentheses override
// both. Query thread only, during one query.
#pragma once

#include <cstdint>

#include "index/MergeIndexTypes.h"
#include "keys/DocNumList.h"

namespace dovrel {
class Scanner;
class Table;
}  // namespace dovrel

namespace dovrel::query {

class SearchExpression {
 public:
  // Parentheses nest at most this deep; one more is refused, so no query can exhaust the
  // stack of the thread that runs it.
  static constexpr uint32_t MAX_NESTING = 256;

  // `table` must have its files open; both must outlive the object.
  SearchExpression(Scanner& scanner, const Table& table, index::SearchMode mode);

  // Reads expression = term { or term }, term = condition { and condition },
  // condition = ( expression ) | member index operator, with the scanner on its first
  // token, and leaves the scanner on the token after it. The documents that satisfy it in
  // ascending order. Refusals: the scanner's syntax errors; the reference errors of
  // IndexReference; "значение не соответствует типу поля " + the field's full name for a
  // value that does not fit the field's type (checked before the search runs); the index's
  // refusal of an operation its kind does not offer; "слишком глубокая вложенность скобок"
  // past MAX_NESTING. Index failures are DiskOrMemoryErrors. No search is left open.
  index::OrderedListPtr evaluate();

 private:
  index::OrderedListPtr expression(uint32_t depth);
  index::OrderedListPtr term(uint32_t depth);
  index::OrderedListPtr condition(uint32_t depth);

  Scanner& scanner_;
  const Table& table_;
  index::SearchMode mode_;
};

}  // namespace dovrel::query
