// The generated corpus and query values of the load tool. Main thread only.
#include "load/LoadCorpus.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

namespace dovrel::load {

namespace {

constexpr uint64_t VOCABULARY_SEED = 0x646f7672656c3031;
constexpr uint64_t DOCUMENT_SEED = 0x646f7672656c3032;
constexpr uint64_t QUERY_SEED = 0x646f7672656c3033;

// Portable draws: the standard distributions may differ between libraries, the engine
// does not.
int64_t uniform(std::mt19937_64& random, int64_t low, int64_t high) {
  return low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
}
double unit(std::mt19937_64& random) { return static_cast<double>(random() >> 11) * 0x1.0p-53; }

// A pronounceable word of `syllables` consonant-vowel pairs, sometimes closed by a consonant.
std::string makeWord(std::mt19937_64& random, int syllables) {
  static const char CONSONANTS[] = "bcdfghklmnprstvz";
  static const char VOWELS[] = "aeiou";
  std::string word;
  for (int i = 0; i < syllables; ++i) {
    word += CONSONANTS[uniform(random, 0, 15)];
    word += VOWELS[uniform(random, 0, 4)];
  }
  if (uniform(random, 0, 2) == 0) word += CONSONANTS[uniform(random, 0, 15)];
  return word;
}

std::string capitalised(std::string word) {
  word[0] = static_cast<char>(word[0] - 'a' + 'A');
  return word;
}

// A seed per document and per query, so any one of them is made without the others.
uint64_t mix(uint64_t seed, uint64_t index) {
  uint64_t z = seed + 0x9e3779b97f4a7c15 * (index + 1);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

}  // namespace

std::size_t CorpusDocument::textBytes() const {
  // The year has 4 digits and the date (DD.MM.YYYY) 10.
  return title.size() + body.size() + author.size() + 4 + priceText(priceCents).size() + 10 +
         name.size() + std::to_string(size).size();
}

const char* searchKindName(SearchKind kind) {
  switch (kind) {
    case SearchKind::EQUALITY:
      return "equality";
    case SearchKind::WORD:
      return "word";
    case SearchKind::PREFIX:
      return "prefix";
    case SearchKind::RANGE:
      return "range";
    case SearchKind::AND:
      return "and";
    case SearchKind::ORDERED:
      return "ordered";
    case SearchKind::ORDERED_ALL:
      return "ordered-all";
    case SearchKind::TWO_WORDS:
      return "two-words";
    case SearchKind::NAME_PREFIX:
      return "name-prefix";
    case SearchKind::SIZE_RANGE:
      return "size-range";
    case SearchKind::GET:
      return "get-document";
    case SearchKind::TRIVIAL:
      return "trivial";
  }
  return "?";
}

const char* searchKindDescription(SearchKind kind) {
  switch (kind) {
    case SearchKind::EQUALITY:
      return "author = one of 5000 names (whole index)";
    case SearchKind::WORD:
      return "body contains a word drawn uniformly from the vocabulary";
    case SearchKind::PREFIX:
      return "a title word begins with 2-4 letters of a vocabulary word";
    case SearchKind::RANGE:
      return "price in a random window of 2.00 (whole index on a double)";
    case SearchKind::AND:
      return "year = Y and body contains one of the 1000 commonest words";
    case SearchKind::ORDERED:
      return "year in a 5-year range, by date descending, first 20";
    case SearchKind::ORDERED_ALL:
      return "size >= 0 (every document), by size asc (2 in 3) or desc, limit 5-20 offset 0-1000";
    case SearchKind::TWO_WORDS:
      return "body contains two different words of the 100 commonest (and)";
    case SearchKind::NAME_PREFIX:
      return "name begins with one of 30 family prefixes (whole index, unique names)";
    case SearchKind::SIZE_RANGE:
      return "size (int64, 0-9999999) in a random window of 200000 (whole index)";
    case SearchKind::GET:
      return "fetch a whole document by a random number";
    case SearchKind::TRIVIAL:
      return "get table docs length (the round-trip floor; no SQLite counterpart)";
  }
  return "?";
}

bool hasCountForm(SearchKind kind) {
  return kind != SearchKind::GET && kind != SearchKind::TRIVIAL;
}

bool isOrdered(SearchKind kind) {
  return kind == SearchKind::ORDERED || kind == SearchKind::ORDERED_ALL;
}

Corpus::Corpus() {
  std::mt19937_64 random(VOCABULARY_SEED);
  std::unordered_set<std::string> seen;
  while (vocabulary_.size() < VOCABULARY_SIZE) {
    std::string word = makeWord(random, static_cast<int>(uniform(random, 1, 5)));
    if (seen.insert(word).second) vocabulary_.push_back(std::move(word));
  }
  // Frequent words are short ones, as in natural text.
  std::stable_sort(vocabulary_.begin(), vocabulary_.end(),
                   [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  double sum = 0;
  for (int rank = 1; rank <= VOCABULARY_SIZE; ++rank) {
    sum += 1.0 / rank;
    cumulative_.push_back(sum);
  }
  for (double& c : cumulative_) c /= sum;

  std::unordered_set<std::string> names;
  while (authors_.size() < AUTHOR_COUNT) {
    std::string name = capitalised(makeWord(random, static_cast<int>(uniform(random, 2, 3)))) +
                       " " + capitalised(makeWord(random, static_cast<int>(uniform(random, 2, 4))));
    if (names.insert(name).second) authors_.push_back(std::move(name));
  }
  // Letters only before the '-', so no family is the beginning of another.
  std::unordered_set<std::string> families;
  while (families_.size() < FAMILY_COUNT) {
    std::string family = makeWord(random, static_cast<int>(uniform(random, 2, 3))) + "-";
    if (families.insert(family).second) families_.push_back(std::move(family));
  }
}

std::string Corpus::zipfWord(std::mt19937_64& random) const {
  const double u = unit(random);
  const auto it = std::lower_bound(cumulative_.begin(), cumulative_.end(), u);
  const std::size_t rank = std::min<std::size_t>(it - cumulative_.begin(), VOCABULARY_SIZE - 1);
  return vocabulary_[rank];
}

void Corpus::appendWords(std::string& out, int count, std::mt19937_64& random,
                         bool sentences) const {
  int sentenceLeft = static_cast<int>(uniform(random, 6, 18));
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ' ';
    out += zipfWord(random);
    if (!sentences) continue;
    if (--sentenceLeft == 0 || i + 1 == count) {
      out += '.';
      sentenceLeft = static_cast<int>(uniform(random, 6, 18));
    } else if (uniform(random, 0, 9) == 0) {
      out += ',';
    }
  }
}

CorpusDocument Corpus::document(uint32_t number) const {
  std::mt19937_64 random(mix(DOCUMENT_SEED, number));
  CorpusDocument doc;
  appendWords(doc.title, static_cast<int>(uniform(random, 2, 6)), random, false);
  appendWords(doc.body, static_cast<int>(uniform(random, 50, 150)), random, true);
  doc.author = authors_[uniform(random, 0, AUTHOR_COUNT - 1)];
  doc.year = uniform(random, 1950, 2025);
  doc.priceCents = uniform(random, 100, 99999);
  doc.month = static_cast<int32_t>(uniform(random, 1, 12));
  doc.day = static_cast<int32_t>(uniform(random, 1, 28));
  // Drawn last, so the fields above are the same as in corpora without these two. The
  // number makes the name unique; the word has no digits, so it cannot run into it.
  doc.name = families_[uniform(random, 0, FAMILY_COUNT - 1)];
  doc.name += vocabulary_[uniform(random, 0, VOCABULARY_SIZE - 1)];
  doc.name += '-';
  doc.name += std::to_string(number);
  doc.size = uniform(random, 0, SIZE_MAX_VALUE);
  return doc;
}

SearchQuery Corpus::query(SearchKind kind, uint32_t index, uint32_t documents) const {
  std::mt19937_64 random(mix(QUERY_SEED + static_cast<uint64_t>(kind), index));
  SearchQuery q;
  q.kind = kind;
  switch (kind) {
    case SearchKind::EQUALITY:
      q.text = authors_[uniform(random, 0, AUTHOR_COUNT - 1)];
      break;
    case SearchKind::WORD:
      q.text = vocabulary_[uniform(random, 0, VOCABULARY_SIZE - 1)];
      break;
    case SearchKind::PREFIX: {
      const std::string& word = vocabulary_[uniform(random, 0, VOCABULARY_SIZE - 1)];
      q.text = word.substr(0, std::min<std::size_t>(word.size(), uniform(random, 2, 4)));
      break;
    }
    case SearchKind::RANGE:
      q.low = uniform(random, 100, 99999 - 200);
      q.high = q.low + 200;
      break;
    case SearchKind::AND:
      q.low = uniform(random, 1950, 2025);
      q.text = vocabulary_[uniform(random, 0, 999)];
      break;
    case SearchKind::ORDERED:
      q.low = uniform(random, 1950, 2025 - 4);
      q.high = q.low + 4;
      break;
    case SearchKind::ORDERED_ALL:
      q.limit = static_cast<uint32_t>(uniform(random, 5, 20));
      q.offset = static_cast<uint32_t>(uniform(random, 0, 1000));
      q.descending = uniform(random, 0, 2) == 0;
      break;
    case SearchKind::TWO_WORDS: {
      const int64_t first = uniform(random, 0, 99);
      int64_t second = uniform(random, 0, 98);
      if (second >= first) ++second;
      q.text = vocabulary_[first];
      q.text2 = vocabulary_[second];
      break;
    }
    case SearchKind::NAME_PREFIX:
      q.text = families_[uniform(random, 0, FAMILY_COUNT - 1)];
      break;
    case SearchKind::SIZE_RANGE:
      q.low = uniform(random, 0, SIZE_MAX_VALUE + 1 - SIZE_WINDOW);
      q.high = q.low + SIZE_WINDOW - 1;
      break;
    case SearchKind::GET:
      q.document = static_cast<uint32_t>(uniform(random, 0, documents - 1));
      break;
    case SearchKind::TRIVIAL:
      break;
  }
  return q;
}

std::string priceText(int64_t cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>(cents % 100));
  return text;
}

}  // namespace dovrel::load
