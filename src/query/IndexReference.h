// IndexReference: the field and the index that a search or index command names after its
// table — a field, or a group "." one of its fields, then "." and an index of that field.
// Read with the scanner of the current query; query thread only.
#pragma once

namespace dovrel {
class Scanner;
class Table;
class TableField;
}  // namespace dovrel

namespace dovrel::index {
class TableIndex;
}

namespace dovrel::query {

struct IndexReference {
  // Where the reference stands.
  enum class Context {
    AFTER_TABLE,  // get index, optimize index: "table." has been read already
    ORDER,        // the order clause of select
    CONDITION,    // a where condition of select
  };

  // Reads [table "."] member "." index with the scanner on the first name and leaves it on
  // the token after the index name. In a condition or an order clause the reference may
  // start with the table's own name and "." (table.field.index) or directly with the member
  // (field.index); a first name that is a member of the table is always taken as the
  // member. Refusals (SemanticError): an unknown first name, "имя N не принадлежит ни полю,
  // ни группе таблицы T" in a condition and "имя N в таблице T не найдено" elsewhere; a name
  // that is not a field of the group, "имя N не принадлежит полю группы " + the group's
  // full name; a name that is not an index of the field, "имя N не принадлежит индексу
  // поля " + the field's full name. A missing name or '.' is the scanner's own refusal.
  static IndexReference read(Scanner& scanner, const Table& table, Context context);

  // Owned by the table, which outlives the command that reads the reference.
  TableField* field = nullptr;
  index::TableIndex* index = nullptr;  // an index of `field`
};

}  // namespace dovrel::query
