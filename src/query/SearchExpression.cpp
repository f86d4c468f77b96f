// The where clause of select: recursive descent over the scanner, one index search per
// condition. Query thread only.
#include "query/SearchExpression.h"

#include <string>
#include <string_view>
#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "keys/ListJoiner.h"
#include "keys/TableIndex.h"
#include "query/IndexReference.h"
#include "tables/Table.h"
#include "tables/TableField.h"

namespace dovrel::query {

namespace {

using index::OrderedListPtr;

enum class Operator {
  EQUAL,
  LESS,
  LESS_OR_EQUAL,
  GREATER,
  GREATER_OR_EQUAL,
  NOT_EQUAL,
  PREFIX,
  RANGE
};

// The operators written as signs; prefix and range are names.
constexpr std::pair<TokenKind, Operator> SIGNS[] = {
    {TOKEN_EQUAL, Operator::EQUAL},
    {TOKEN_LESS, Operator::LESS},
    {TOKEN_LESS_EQUAL, Operator::LESS_OR_EQUAL},
    {TOKEN_GREATER, Operator::GREATER},
    {TOKEN_GREATER_EQUAL, Operator::GREATER_OR_EQUAL},
    {TOKEN_NOT_EQUAL, Operator::NOT_EQUAL},
};

// The operator at the scanner, which then stands on the token after it.
Operator readOperator(Scanner& scanner) {
  Operator op = Operator::EQUAL;
  bool known = false;
  for (const auto& [kind, sign] : SIGNS) {
    if (scanner.kind() == kind) {
      op = sign;
      known = true;
    }
  }
  if (!known && (scanner.isName("prefix") || scanner.isName("range"))) {
    op = scanner.isName("prefix") ? Operator::PREFIX : Operator::RANGE;
    known = true;
  }
  if (!known) {
    scanner.error(std::string("ожидается =, <, <=, >, >=, <>, prefix или range получено "_cp866) +
                  scanner.currentDescription(true));
  }
  scanner.next();
  return op;
}

// A value read for a condition on `field`: a string that must fit the field's type.
TextView readValue(Scanner& scanner, const TableField& field) {
  const TextView value = scanner.expectString();
  if (!field.checkValue(value)) {
    throw SemanticError(std::string("значение не соответствует типу поля "_cp866) +
                        field.getFullName());
  }
  return value;
}

}  // namespace

SearchExpression::SearchExpression(Scanner& scanner, const Table& table, index::SearchMode mode)
    : scanner_(scanner), table_(table), mode_(mode) {}

OrderedListPtr SearchExpression::evaluate() { return expression(0); }

OrderedListPtr SearchExpression::expression(uint32_t depth) {
  OrderedListPtr first = term(depth);
  if (!scanner_.isName("or")) return first;
  // Many alternatives are united through the joiner rather than one growing list.
  index::ListJoiner joiner;
  joiner.add(first);
  while (scanner_.isName("or")) {
    scanner_.next();
    joiner.add(term(depth));
  }
  return joiner.join();
}

OrderedListPtr SearchExpression::term(uint32_t depth) {
  OrderedListPtr result = condition(depth);
  while (scanner_.isName("and")) {
    scanner_.next();
    // Every condition is read and checked even when the result is empty already: a
    // malformed query is refused whatever the data.
    result = index::intersectionOf(result, condition(depth));
  }
  return result;
}

OrderedListPtr SearchExpression::condition(uint32_t depth) {
  if (scanner_.kind() == TOKEN_LPAREN) {
    if (depth == MAX_NESTING) throw SemanticError("слишком глубокая вложенность скобок"_cp866);
    scanner_.next();
    OrderedListPtr inner = expression(depth + 1);
    scanner_.expect(TOKEN_RPAREN);
    return inner;
  }
  const IndexReference reference =
      IndexReference::read(scanner_, table_, IndexReference::Context::CONDITION);
  const TableField& field = *reference.field;
  index::TableIndex& idx = *reference.index;
  const Operator op = readOperator(scanner_);
  const TextView value = readValue(scanner_, field);
  switch (op) {
    case Operator::EQUAL:
      return idx.equal(value, mode_);
    case Operator::LESS:
      return idx.less(value, mode_);
    case Operator::LESS_OR_EQUAL:
      return idx.lessOrEqual(value, mode_);
    case Operator::GREATER:
      return idx.greater(value, mode_);
    case Operator::GREATER_OR_EQUAL:
      return idx.greaterOrEqual(value, mode_);
    case Operator::NOT_EQUAL:
      return idx.notEqual(value, mode_);
    case Operator::PREFIX:
      return idx.prefix(value, mode_);
    case Operator::RANGE:
      break;
  }
  scanner_.expectKeyword("to");
  const TextView to = readValue(scanner_, field);
  return idx.range(value, to, mode_);
}

}  // namespace dovrel::query
