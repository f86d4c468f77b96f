// select and get index against a brute-force model: random items with text, int64, double,
// date and datetime values, random where clauses of two to four conditions with and, or
// and parentheses, with and without order, limit and offset, in all three search modes,
// after random replacements and deletions, across a commit and restart, and again after
// every index is optimized to one run. The seed comes from DOVREL_SEARCH_SEED (else the
// clock) and is printed with every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "SearchE2ETest.h"

namespace dovrel::e2e {
namespace {

// What a condition or an order clause names.
enum Target { NAME_W, NAME_H, NAME_A, NAME_P, NUM, REAL, DAY, MOMENT, TAG_W, TARGET_COUNT };

const char* const REFERENCES[TARGET_COUNT] = {"name.w", "name.h", "name.a", "name.p", "n.h",
                                              "x.h",    "d.h",    "t.h",    "g.tag.w"};

const std::vector<std::string> WORDS = {"alpha", "alp",   "al",    "beta", "bet", "gamma",
                                        "gam",   "delta", "omega", "x1",   "x10", "zed"};
const std::vector<std::string> TAGS = {"red", "green", "blue", "cyan"};

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool isWordByte(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : upper(text) + " ") {
    if (isWordByte(c)) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

std::string alphanumOf(const std::string& text) {
  std::string kept;
  for (const char c : upper(text)) {
    if (isWordByte(c)) kept += c;
  }
  return kept;
}

// An int64 as bytes that sort like the numbers.
std::string sortable(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value) ^ (uint64_t{1} << 63);
  std::string bytes;
  for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(bits >> shift);
  return bytes;
}

// The generated double texts: optional "-", digits, ".", two digits.
int64_t cents(const std::string& text) {
  const bool negative = text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  const size_t point = digits.find('.');
  const int64_t value =
      std::stoll(digits.substr(0, point)) * 100 + std::stoll(digits.substr(point + 1));
  return negative ? -value : value;
}

int64_t dateNumber(const std::string& text) {  // DD.MM.YYYY
  return std::stoll(text.substr(6, 4)) * 10000 + std::stoll(text.substr(3, 2)) * 100 +
         std::stoll(text.substr(0, 2));
}

int64_t momentNumber(const std::string& text) {  // DD.MM.YYYY HH:MM:SS
  return dateNumber(text) * 1000000 + std::stoll(text.substr(11, 2)) * 10000 +
         std::stoll(text.substr(14, 2)) * 100 + std::stoll(text.substr(17, 2));
}

const std::string& valueOf(Target target, const Item& item) {
  switch (target) {
    case NUM:
      return item.n;
    case REAL:
      return item.x;
    case DAY:
      return item.d;
    case MOMENT:
      return item.t;
    case TAG_W:
      return item.tag;
    default:
      return item.name;
  }
}

// The key a query value looks for, comparable bytewise with the document keys below.
std::string queryKey(Target target, const std::string& value) {
  switch (target) {
    case NUM:
      return sortable(std::stoll(value));
    case REAL:
      return sortable(cents(value));
    case DAY:
      return sortable(dateNumber(value));
    case MOMENT:
      return sortable(momentNumber(value));
    case NAME_A:
      return alphanumOf(value);
    default:
      return upper(value);
  }
}

// The keys an item is recorded under in the target's index.
std::vector<std::string> documentKeys(Target target, const Item& item) {
  const std::string& value = valueOf(target, item);
  if (value == "null") return {};
  switch (target) {
    case NAME_W:
    case TAG_W:
      return wordsOf(value);
    case NAME_P: {
      std::vector<std::string> keys;
      for (const std::string& word : wordsOf(value)) {
        keys.push_back("");
        for (size_t n = 1; n <= word.size(); ++n) keys.push_back(word.substr(0, n));
      }
      return keys;
    }
    default:
      return {queryKey(target, value)};
  }
}

enum Op { EQ, LT, LE, GT, GE, NE, PREFIX, RANGE };
const char* const OP_TEXT[] = {"=", "<", "<=", ">", ">=", "<>", "prefix", "range"};

struct Condition {
  Target target = NAME_W;
  Op op = EQ;
  std::string value;
  std::string to;          // range only
  bool qualified = false;  // written with the table's name first

  std::string text() const {
    std::string out = std::string(qualified ? "items." : "") + REFERENCES[target] + " " +
                      OP_TEXT[op] + " '" + value + "'";
    if (op == RANGE) out += " to '" + to + "'";
    return out;
  }
  bool matches(const Item& item) const {
    const std::string q = queryKey(target, value);
    for (const std::string& key : documentKeys(target, item)) {
      switch (op) {
        case EQ:
          if (key == q) return true;
          break;
        case LT:
          if (key < q) return true;
          break;
        case LE:
          if (key <= q) return true;
          break;
        case GT:
          if (key > q) return true;
          break;
        case GE:
          if (key >= q) return true;
          break;
        case NE:
          if (key != q) return true;
          break;
        case PREFIX:
          // Indexes of every prefix look the value up as a key of its own.
          if (target == NAME_P ? key == q : key.starts_with(q)) return true;
          break;
        case RANGE:
          if (key >= q && key <= queryKey(target, to)) return true;
          break;
      }
    }
    return false;
  }
};

// A where clause: items joined by and/or; an item is a condition or a parenthesised clause.
struct Clause {
  struct Part {
    bool nested = false;
    Condition condition;
    std::vector<Clause> inner;  // one clause when nested
  };
  std::vector<Part> parts;
  std::vector<bool> orBefore;  // orBefore[i]: the operator before parts[i + 1] is or

  std::string text() const {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) out += orBefore[i - 1] ? " or " : " and ";
      out += parts[i].nested ? "(" + parts[i].inner[0].text() + ")" : parts[i].condition.text();
    }
    return out;
  }
  // The usual precedence, evaluated independently of the server: or of and-runs.
  bool matches(const Item& item) const {
    bool any = false;
    bool run = true;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i > 0 && orBefore[i - 1]) {
        any = any || run;
        run = true;
      }
      const bool part =
          parts[i].nested ? parts[i].inner[0].matches(item) : parts[i].condition.matches(item);
      run = run && part;
    }
    return any || run;
  }
};

struct ModelDocument {
  Item item;
  bool removed = false;
};

enum class Mode { PRESENT, REMOVED, ALL };

class SearchModelE2ETest : public SearchE2ETest {
 protected:
  void SetUp() override {
    SearchE2ETest::SetUp();
    if (IsSkipped()) return;
    const char* fixed = std::getenv("DOVREL_SEARCH_SEED");
    seed_ =
        fixed != nullptr
            ? std::strtoull(fixed, nullptr, 10)
            : static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    random_.seed(seed_);
    startWithItems();
  }

  uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[below(static_cast<uint32_t>(from.size()))];
  }

  // Random letter case: the indexes fold it.
  std::string word() {
    std::string w = pick(WORDS);
    if (chance(0.3)) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    return w;
  }
  std::string randomName() {
    std::string name = word();
    const uint32_t more = below(3);
    for (uint32_t i = 0; i < more; ++i) {
      name += pick(std::vector<std::string>{" ", "-", ", ", "  "}) + word();
    }
    return name;
  }
  std::string randomNumber() {
    if (chance(0.05)) return chance(0.5) ? "9223372036854775807" : "-9223372036854775808";
    return std::to_string(static_cast<int>(below(41)) - 20);
  }
  std::string randomReal() {
    const int value = static_cast<int>(below(601)) - 300;
    const int magnitude = value < 0 ? -value : value;
    std::string text = std::to_string(magnitude / 100) + "." +
                       std::string(magnitude % 100 < 10 ? "0" : "") +
                       std::to_string(magnitude % 100);
    return value < 0 ? "-" + text : text;
  }
  std::string two(uint32_t value) { return (value < 10 ? "0" : "") + std::to_string(value); }
  std::string randomDate() {
    return two(1 + below(28)) + "." + two(1 + below(12)) + "." + std::to_string(1999 + below(3));
  }
  std::string randomMoment() {
    return randomDate() + " " + two(pick(std::vector<uint32_t>{0, 12, 23})) + ":" +
           two(pick(std::vector<uint32_t>{0, 30})) + ":" + two(pick(std::vector<uint32_t>{0, 59}));
  }
  Item randomItem() {
    const auto orNull = [this](std::string value) { return chance(0.12) ? "null" : value; };
    Item item;
    item.name = orNull(randomName());
    item.n = orNull(randomNumber());
    item.x = orNull(randomReal());
    item.d = orNull(randomDate());
    item.t = orNull(randomMoment());
    item.tag = orNull(pick(TAGS));
    return item;
  }

  // A value for a condition on `target`: mostly one that some document holds.
  std::string randomValue(Target target) {
    if (!docs_.empty() && chance(0.6)) {
      const std::string& held = valueOf(target, docs_[below(docs_.size())].item);
      if (held != "null") {
        if (target == NAME_W || target == TAG_W || target == NAME_P) {
          const std::vector<std::string> words = wordsOf(held);
          if (!words.empty()) return pick(words);
        } else {
          return held;
        }
      }
    }
    switch (target) {
      case NUM:
        return randomNumber();
      case REAL:
        return randomReal();
      case DAY:
        return randomDate();
      case MOMENT:
        return randomMoment();
      case TAG_W:
        return pick(TAGS);
      case NAME_H:
      case NAME_A:
        return chance(0.5) ? randomName() : word();
      default:
        return word();
    }
  }

  Condition randomCondition() {
    Condition c;
    c.target = static_cast<Target>(below(TARGET_COUNT));
    switch (c.target) {
      case NAME_W:
      case NAME_P:
        c.op = chance(0.5) ? EQ : PREFIX;
        break;
      case TAG_W:
        c.op = EQ;
        break;
      case NAME_H:
      case NAME_A:
        c.op = static_cast<Op>(below(8));
        break;
      default:
        c.op = pick(std::vector<Op>{EQ, LT, LE, GT, GE, NE, RANGE});
    }
    c.qualified = chance(0.5);
    c.value = randomValue(c.target);
    if (c.op == PREFIX && (c.target == NAME_W || c.target == NAME_H || c.target == NAME_A) &&
        c.value.size() > 1 && chance(0.7)) {
      c.value = c.value.substr(0, 1 + below(static_cast<uint32_t>(c.value.size()) - 1));
    }
    if (c.op == RANGE) c.to = randomValue(c.target);
    return c;
  }

  Clause randomClause(uint32_t conditions, bool top) {
    Clause clause;
    while (conditions > 0) {
      Clause::Part part;
      // A parenthesised group, but never one that is the whole of a nested clause.
      const bool whole = !top && clause.parts.empty();
      if (conditions >= 2 && chance(0.35) && !(whole && conditions == 2)) {
        uint32_t inner = 2 + below(conditions - 1);
        if (whole && inner == conditions) --inner;
        part.nested = true;
        part.inner.push_back(randomClause(inner, false));
        conditions -= inner;
      } else {
        part.condition = randomCondition();
        --conditions;
      }
      if (!clause.parts.empty()) clause.orBefore.push_back(chance(0.5));
      clause.parts.push_back(std::move(part));
    }
    return clause;
  }

  bool visible(const ModelDocument& doc, Mode mode) const {
    return mode == Mode::ALL || doc.removed == (mode == Mode::REMOVED);
  }

  std::vector<uint32_t> expectedOrder(std::vector<uint32_t> found, Target target, Mode mode,
                                      bool descending) const {
    const auto key = [&](uint32_t number) {
      (void)mode;
      const std::vector<std::string> keys = documentKeys(target, docs_[number].item);
      return keys.empty() ? std::pair<bool, std::string>{false, ""}
                          : std::pair<bool, std::string>{true, keys[0]};
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    if (descending) std::reverse(found.begin(), found.end());
    return found;
  }

  // One random select checked against the model; returns the command for reruns.
  std::string checkRandomSelect() {
    const Mode mode = static_cast<Mode>(below(3));
    const Clause clause = randomClause(2 + below(3), true);
    std::string command = "select";
    if (mode == Mode::REMOVED) command += " only updated";
    if (mode == Mode::ALL) command += " including updated";
    command += " from items where " + clause.text();

    std::vector<uint32_t> expected;
    for (uint32_t number = 0; number < docs_.size(); ++number) {
      if (visible(docs_[number], mode) && clause.matches(docs_[number].item)) {
        expected.push_back(number);
      }
    }
    const uint32_t foundCount = static_cast<uint32_t>(expected.size());
    if (foundCount > 0) ++nonEmpty_;
    if (chance(0.5)) {
      const Target target = pick(std::vector<Target>{NUM, REAL, DAY, MOMENT, NAME_H, TAG_W});
      const uint32_t direction = below(3);
      command += std::string(" order by ") + (chance(0.5) ? "items." : "") + REFERENCES[target] +
                 (direction == 1   ? " asc"
                  : direction == 2 ? " desc"
                                   : "");
      expected = expectedOrder(expected, target, mode, direction == 2);
    }
    bool sliced = false;
    uint32_t offset = 0;
    uint32_t limit = UINT32_MAX;
    if (chance(0.3)) {
      limit = below(12);
      command += " limit " + std::to_string(limit);
      sliced = true;
    }
    if (chance(0.3)) {
      offset = below(15);
      command += " offset " + std::to_string(offset);
      sliced = true;
    }
    command += ";";
    if (sliced) {
      const size_t from = std::min<size_t>(offset, expected.size());
      const size_t count = std::min<size_t>(limit, expected.size() - from);
      expected = std::vector<uint32_t>(expected.begin() + from, expected.begin() + from + count);
    }
    expectAnswer(command, expected, foundCount, sliced);
    return command;
  }

  void expectAnswer(const std::string& command, const std::vector<uint32_t>& expected,
                    uint32_t foundCount, bool sliced) {
    SCOPED_TRACE("seed " + std::to_string(seed_) + ": " + command);
    const client::SearchAnswer answer = search("sh", command);
    EXPECT_EQ(answer.documents, expected);
    EXPECT_EQ(answer.found, foundCount);
    const std::string countLine =
        sliced ? std::to_string(expected.size()) + " of " + std::to_string(foundCount)
               : std::to_string(foundCount);
    EXPECT_EQ(answer.countLine, countLine);
  }

  void addRandom(uint32_t count) {
    std::vector<Item> items;
    for (uint32_t i = 0; i < count; ++i) items.push_back(randomItem());
    const std::vector<uint32_t> numbers = add(items);
    for (uint32_t i = 0; i < numbers.size(); ++i) {
      ASSERT_EQ(numbers[i], docs_.size());
      docs_.push_back({items[i], false});
    }
  }

  void mutateRandomly(uint32_t steps) {
    for (uint32_t step = 0; step < steps; ++step) {
      std::vector<uint32_t> live;
      for (uint32_t n = 0; n < docs_.size(); ++n) {
        if (!docs_[n].removed) live.push_back(n);
      }
      if (live.empty()) return;
      const uint32_t victim = pick(live);
      // Searches in between, so that what a search keeps must follow every change.
      if (step % 10 == 9) checkRandomSelect();
      if (chance(0.1)) {
        ASSERT_EQ(raw("all", "commit;"), "OK\r\n");
      } else if (chance(0.5)) {
        const Item item = randomItem();
        ASSERT_EQ(raw("all", "add " + itemDocument(item) + " to table items replacing " +
                                 std::to_string(victim) + ";"),
                  "OK\r\ndocument " + std::to_string(docs_.size()) + "\r\n");
        docs_[victim].removed = true;
        docs_.push_back({item, false});
      } else {
        ASSERT_EQ(raw("all", "delete document " + std::to_string(victim) + " from table items;"),
                  "OK\r\n");
        docs_[victim].removed = true;
      }
    }
  }

  // Key listings of the text words index and the int64 index in every mode.
  void checkKeyListings() {
    for (const Target target : {NAME_W, NUM}) {
      for (const Mode mode : {Mode::PRESENT, Mode::REMOVED, Mode::ALL}) {
        std::map<std::string, std::string> keys;  // key -> listed text
        for (const ModelDocument& doc : docs_) {
          if (!visible(doc, mode)) continue;
          for (const std::string& key : documentKeys(target, doc.item)) {
            keys[key] = target == NUM ? valueOf(NUM, doc.item) : key;
          }
        }
        std::vector<std::string> ascending;
        for (const auto& [key, text] : keys) {
          ascending.push_back("#" + std::to_string(text.size()) + "#" + text + "#\r\n");
        }
        const std::string prefix = std::string("get index ") +
                                   (mode == Mode::REMOVED ? "only updated "
                                    : mode == Mode::ALL   ? "including updated "
                                                          : "") +
                                   "items." + REFERENCES[target];
        SCOPED_TRACE("seed " + std::to_string(seed_) + ": " + prefix);
        EXPECT_EQ(raw("sh", prefix + " length;"), "OK\r\n" + std::to_string(keys.size()));
        const auto joined = [](auto first, auto last, size_t n) {
          std::string out = "OK\r\n";
          for (; first != last && n > 0; ++first, --n) out += *first;
          return out;
        };
        EXPECT_EQ(raw("sh", prefix + " from 0 length 1000;"),
                  joined(ascending.begin(), ascending.end(), 1000));
        for (int probe = 0; probe < 6; ++probe) {
          const std::string value = randomValue(target);
          const std::string q = queryKey(target, value);
          const uint32_t length = 1 + below(5);
          const auto lower = std::lower_bound(
              keys.begin(), keys.end(), q,
              [](const auto& entry, const std::string& k) { return entry.first < k; });
          const size_t at = static_cast<size_t>(std::distance(keys.begin(), lower));
          EXPECT_EQ(raw("sh", prefix + " from key '" + value + "' length " +
                                  std::to_string(length) + ";"),
                    joined(ascending.begin() + at, ascending.end(), length))
              << value;
          // Backwards from the greatest key not greater than the value.
          const size_t upTo = (lower != keys.end() && lower->first == q) ? at + 1 : at;
          EXPECT_EQ(raw("sh", prefix + " from key '" + value + "' reverse length " +
                                  std::to_string(length) + ";"),
                    joined(ascending.rend() - upTo, ascending.rend(), length))
              << value;
        }
      }
    }
  }

  uint64_t seed_ = 0;
  uint32_t nonEmpty_ = 0;  // searches whose model result was not empty
  std::mt19937_64 random_;
  std::vector<ModelDocument> docs_;
};

TEST_F(SearchModelE2ETest, SelectAndKeyListingsMatchTheModel) {
  std::cout << "search model seed " << seed_ << std::endl;
  for (int batch = 0; batch < 6; ++batch) addRandom(25);
  for (int i = 0; i < 60; ++i) checkRandomSelect();

  mutateRandomly(50);
  for (int i = 0; i < 60; ++i) checkRandomSelect();
  checkKeyListings();

  addRandom(40);
  mutateRandomly(20);
  ASSERT_EQ(raw("all", "commit;"), "OK\r\n");
  restart();
  mutateRandomly(10);  // uncommitted changes on top of the committed ones
  std::vector<std::string> commands;
  for (int i = 0; i < 60; ++i) commands.push_back(checkRandomSelect());
  checkKeyListings();

  // Merge every index to one run: the same searches give the same answers.
  std::map<std::string, std::string> before;
  for (const std::string& command : commands) before[command] = raw("sh", command);
  for (const char* reference : REFERENCES) {
    const std::string command = std::string("optimize index items.") + reference + ";";
    std::string answer;
    int calls = 0;
    do {
      answer = raw("all", command);
      ASSERT_TRUE(answer == "OK\r\nduring" || answer == "OK\r\ncomplete") << cp866ToUtf8(answer);
    } while (answer != "OK\r\ncomplete" && ++calls < 10000);
    EXPECT_EQ(answer, "OK\r\ncomplete") << reference;
  }
  for (const std::string& command : commands) {
    EXPECT_EQ(raw("sh", command), before[command]) << "seed " << seed_ << ": " << command;
  }
  checkKeyListings();
  // Random clauses that never find anything would prove little.
  EXPECT_GT(nonEmpty_, 60u);
  ASSERT_EQ(raw("all", "commit;"), "OK\r\n");
  restart();
  for (const std::string& command : commands) {
    EXPECT_EQ(raw("sh", command), before[command]) << "seed " << seed_ << ": " << command;
  }
}

}  // namespace
}  // namespace dovrel::e2e
