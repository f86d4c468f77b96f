// The load tool's workload: a generated corpus of documents and the randomly drawn values of
// its searches. Everything comes from fixed seeds, so every run and every store under test
// sees the same documents and the same queries. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace dovrel::load {

// One document of the corpus. Text is lower-case Latin words with some punctuation.
struct CorpusDocument {
  std::string title;       // 2 to 6 words
  std::string body;        // 50 to 150 words
  std::string author;      // "Firstname Lastname", one of AUTHOR_COUNT names
  int64_t year = 0;        // 1950 to 2025
  int64_t priceCents = 0;  // 100 to 99999: a price of 1.00 to 999.99
  int32_t month = 1;
  int32_t day = 1;   // 1 to 28: every date exists in every month
  std::string name;  // "family-word-number": unique, lower-case letters, digits and '-'
  int64_t size = 0;  // 0 to SIZE_MAX_VALUE

  // Bytes of document text: the field values written as text.
  std::size_t textBytes() const;
};

// What a search asks for. Which fields a kind uses is fixed per kind (see LoadTarget.h).
// TRIVIAL is the cheapest request there is (the table's length), the round-trip floor.
enum class SearchKind {
  EQUALITY,
  WORD,
  PREFIX,
  RANGE,
  AND,
  ORDERED,
  ORDERED_ALL,
  TWO_WORDS,
  NAME_PREFIX,
  SIZE_RANGE,
  GET,
  TRIVIAL
};
inline constexpr SearchKind SEARCH_KINDS[] = {
    SearchKind::EQUALITY,    SearchKind::WORD,       SearchKind::PREFIX,      SearchKind::RANGE,
    SearchKind::AND,         SearchKind::ORDERED,    SearchKind::ORDERED_ALL, SearchKind::TWO_WORDS,
    SearchKind::NAME_PREFIX, SearchKind::SIZE_RANGE, SearchKind::GET,         SearchKind::TRIVIAL};
inline constexpr std::size_t SEARCH_KIND_COUNT = std::size(SEARCH_KINDS);
// The kind's name in the report and in --kinds: lower case, no blanks.
const char* searchKindName(SearchKind kind);
// How the values of a kind are drawn, for the report.
const char* searchKindDescription(SearchKind kind);
// Whether the kind is a select that also has a count-only form (`limit 0`, count(*)).
bool hasCountForm(SearchKind kind);
// Whether the kind orders by a key, so that its answers are compared row by row in
// order (every other select answers in ascending document number anyway).
bool isOrdered(SearchKind kind);

struct SearchQuery {
  SearchKind kind = SearchKind::EQUALITY;
  bool countOnly = false;          // answer the count only: `limit 0` / count(*)
  std::string text;                // author, word, prefix or name family ("fam-")
  std::string text2;               // the second word (TWO_WORDS)
  int64_t low = 0, high = 0;       // price cents (RANGE), years (ORDERED), year (AND: low), size
  uint32_t document = 0;           // GET
  uint32_t limit = 0, offset = 0;  // ORDERED_ALL
  bool descending = false;         // ORDERED_ALL
};

// Rows returned by ORDERED searches.
inline constexpr int ORDERED_LIMIT = 20;

class Corpus {
 public:
  static constexpr int VOCABULARY_SIZE = 20000;
  static constexpr int AUTHOR_COUNT = 5000;
  static constexpr int FAMILY_COUNT = 30;
  static constexpr int64_t SIZE_MAX_VALUE = 9999999;
  static constexpr int64_t SIZE_WINDOW = 200000;  // SIZE_RANGE: 2% of the sizes

  Corpus();

  // Document `number` (0-based); the same number always gives the same document.
  CorpusDocument document(uint32_t number) const;

  // The `index`-th query of a kind over a corpus of `documents` documents.
  SearchQuery query(SearchKind kind, uint32_t index, uint32_t documents) const;

 private:
  std::string zipfWord(std::mt19937_64& random) const;
  void appendWords(std::string& out, int count, std::mt19937_64& random, bool sentences) const;

  std::vector<std::string> vocabulary_;  // by rank: the most frequent (shortest) first
  std::vector<double> cumulative_;       // Zipf weights 1/rank, summed and normalised
  std::vector<std::string> authors_;
  std::vector<std::string> families_;  // name prefixes, each ending in '-'
};

// "123.45" for 12345 cents: the double text both stores accept.
std::string priceText(int64_t cents);

}  // namespace dovrel::load
