// TablePrivilege: the seven table privileges, fixed at compile time in the order that gives
// their indexes, and PrivilegeSet, a set of them. Immutable constants and value types:
// safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace dovrel {

class Scanner;

class TablePrivilege {
 public:
  static const TablePrivilege STRUCTURE;  // the structure; listing the table
  static const TablePrivilege SELECT;     // lengths, documents, index keys, searches
  static const TablePrivilege INSERT;     // adding documents
  static const TablePrivilege UPDATE;     // replacing and deleting documents
  static const TablePrivilege OPTIMIZE;   // optimizing an index
  static const TablePrivilege META;       // meta information of documents
  static const TablePrivilege HISTORY;    // with SELECT or META: the same on deleted documents
  static constexpr unsigned COUNT = 7;

  constexpr unsigned index() const { return index_; }
  constexpr std::string_view name() const { return name_; }
  constexpr bool operator==(const TablePrivilege& other) const { return index_ == other.index_; }

  // The seven names in index order.
  static const std::array<std::string_view, COUNT>& names();
  // The privilege at an index below COUNT.
  static const TablePrivilege& at(unsigned index);

 private:
  constexpr TablePrivilege(unsigned index, std::string_view name) : index_(index), name_(name) {}

  unsigned index_;
  std::string_view name_;
};

inline constexpr TablePrivilege TablePrivilege::STRUCTURE{0, "structure"};
inline constexpr TablePrivilege TablePrivilege::SELECT{1, "select"};
inline constexpr TablePrivilege TablePrivilege::INSERT{2, "insert"};
inline constexpr TablePrivilege TablePrivilege::UPDATE{3, "update"};
inline constexpr TablePrivilege TablePrivilege::OPTIMIZE{4, "optimize"};
inline constexpr TablePrivilege TablePrivilege::META{5, "meta"};
inline constexpr TablePrivilege TablePrivilege::HISTORY{6, "history"};

// A set of table privileges; iterating it by index gives the written order.
class PrivilegeSet {
 public:
  constexpr PrivilegeSet() = default;
  constexpr PrivilegeSet(std::initializer_list<TablePrivilege> privileges) {
    for (const TablePrivilege& p : privileges) add(p);
  }

  constexpr void add(const TablePrivilege& p) { bits_ |= bit(p); }
  constexpr void addAll(PrivilegeSet other) { bits_ |= other.bits_; }
  constexpr void removeAll(PrivilegeSet other) { bits_ &= ~other.bits_; }
  constexpr bool contains(const TablePrivilege& p) const { return (bits_ & bit(p)) != 0; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr bool operator==(const PrivilegeSet& other) const = default;

 private:
  static constexpr uint8_t bit(const TablePrivilege& p) {
    return static_cast<uint8_t>(1u << p.index());
  }
  uint8_t bits_ = 0;
};

// The privilege of that name (exact, lower-case comparison); otherwise fails with
// SemanticError "не найдена привилегия с именем " + name.
const TablePrivilege& findPrivilege(std::string_view name);

// NAME {, NAME}: one or more privilege names separated by commas, each through
// findPrivilege. A name given twice counts once.
PrivilegeSet readPrivilegeList(Scanner& scanner);

}  // namespace dovrel
