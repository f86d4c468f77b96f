// IndexKind: the kind of a table index as its declaration text gives it — the base kind
// (whole, whole-alphanum, words, words-prefix, words-suffix, words-substr, words-near0..9)
// and the options mult= (merge multiplier) and size= (cluster size logarithm) — with the
// field types each kind applies to and the search operations each kind offers. A value;
// any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "keys/FieldType.h"

namespace dovrel::index {

enum class BaseKind : unsigned char {
  WHOLE,           // one key: the whole value
  WHOLE_ALPHANUM,  // one key: the value's letters and digits
  WORDS,           // one key per word
  WORDS_PREFIX,    // the empty key and every prefix of every word
  WORDS_SUFFIX,    // the empty key and every suffix of every word
  WORDS_SUBSTR,    // the empty key and every substring of every word
  WORDS_NEAR,      // one key per pair of words at most N + 1 words apart
};

// The search operations of the query language over one index.
enum class IndexOperation : unsigned char {
  EQUAL,
  PREFIX,
  LESS,
  LESS_OR_EQUAL,
  GREATER,
  GREATER_OR_EQUAL,
  NOT_EQUAL,
  RANGE,
};

// How a prefix search runs on an index that offers it.
enum class PrefixSearch : unsigned char {
  EQUAL_KEY,    // every prefix (or substring) is a key of its own: look the value up
  KEY_PREFIXES  // collect every key that begins with the query key
};

// Whether an index of `kind` may be declared on a field of `type`: whole on text and every
// type with a value key, every other kind on text only. Binary and file fields take none.
bool compatible(FieldType type, BaseKind kind);

class IndexKind {
 public:
  static constexpr uint32_t DEFAULT_MERGE_MULTIPLIER = 2;
  static constexpr uint32_t MIN_MULT_OPTION = 2;
  static constexpr uint32_t MAX_MULT_OPTION = 99;

  // Reads a kind text: the base kind, each option introduced by a blank (" mult=" digits,
  // " size=" digits; an option's digits end at the next blank or the end). What is left
  // once the options are removed is the base kind; words-near takes exactly one digit.
  // Throws SemanticError: kindText + " - недопустимый вид индекса " + indexFullName, then
  // ": недопустимое значение после mult=" (multiplier not 2..99), ": недопустимое значение
  // после size=" (size not 16..24) or ": недопустимая базовая часть " + base kind.
  static IndexKind parse(std::string_view kindText, std::string_view indexFullName);
  // A kind without options (defaults apply).
  explicit IndexKind(BaseKind kind, uint32_t nearDistance = 0);

  BaseKind baseKind() const { return kind_; }
  // N of words-nearN (0 to 9); 0 for the other kinds.
  uint32_t nearDistance() const { return nearDistance_; }
  // The base kind as written: "whole", ..., "words-near3".
  std::string baseText() const;
  uint32_t clusterSizeLog() const { return sizeLog_; }
  bool clusterSizeGiven() const { return sizeGiven_; }
  uint32_t clusterLength() const { return uint32_t{1} << sizeLog_; }
  uint32_t mergeMultiplier() const { return mult_; }
  bool mergeMultiplierGiven() const { return multGiven_; }

  // The kind text for the structure file: the base kind, then " size=" N only when a size
  // was given, then " mult=" M only when a multiplier was given. It parses back to an
  // equal spec.
  std::string kindText() const;

  bool compatible(FieldType type) const { return index::compatible(type, kind_); }

  // Refuses, with the SemanticError the query reports, an operation the index does not
  // offer over a field of `type`: prefix only on text fields with whole, whole-alphanum,
  // words, words-substr, words-prefix; the comparisons and range only on whole and
  // whole-alphanum. Equal is always offered.
  void checkOperation(IndexOperation operation, FieldType type) const;
  // For a prefix search that checkOperation allowed: whether to look the value up as one
  // key, or to collect every key that begins with it.
  PrefixSearch prefixSearch() const;

  friend bool operator==(const IndexKind&, const IndexKind&) = default;

 private:
  BaseKind kind_;
  uint32_t nearDistance_;
  uint32_t sizeLog_;
  uint32_t mult_;
  bool sizeGiven_ = false;
  bool multGiven_ = false;
};

}  // namespace dovrel::index
