// Table indexes: every search, key count and key listing against a brute-force filter over
// a few thousand random documents, some of them withdrawn again, in all three search
// modes and after a commit and reopening; and the refusals and failures of the index.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "index/MergeIndex.h"
#include "keys/IndexKeyBuilder.h"
#include "keys/IndexKeyConverter.h"
#include "keys/KeysTestSupport.h"
#include "keys/TableIndex.h"
#include "support/TempDir.h"

namespace dovrel::index::test {
namespace {

using Docs = std::vector<uint32_t>;

// A scratch data directory (in memory where possible), with its separator at the end.
class DataDirectory {
 public:
  const std::string& path() const { return path_; }

 private:
  testsupport::TempDir dir_{testsupport::memoryParent()};
  std::string path_ = dir_.path() + "/";
};

std::shared_ptr<TableIndex> makeIndex(std::string_view kindText, FieldType type,
                                      const std::string& directory, std::string name = "i") {
  std::string fullName = "t.f." + name;
  IndexKind spec = IndexKind::parse(kindText, fullName);
  return std::make_shared<TableIndex>(IndexDeclaration(std::move(name), "t.f", type, spec),
                                      directory);
}

Docs numbers(const OrderedListPtr& list) { return Docs(list->begin(), list->end()); }

// The kept sort order against a fresh walk of every key: the same conflict, and the same
// order of every document up to `documents`, whole and sliced, both ways.
void expectSortOrderOfAFreshWalk(TableIndex& index, SearchMode mode, uint32_t documents) {
  const NumPairList pairs = index.sortPairs(mode);
  const std::shared_ptr<const SortOrder> order = index.sortOrder(mode);
  ASSERT_EQ(order->unique(), pairs.unique());
  if (!order->unique()) return;
  Docs all(documents);
  for (uint32_t d = 0; d < documents; ++d) all[d] = d;
  const OrderedListPtr result = OrderedDocNumList::create(all);
  for (const bool descending : {false, true}) {
    const UnorderedListPtr expected = pairs.order(*result, descending);
    const Docs want(expected->begin(), expected->end());
    const UnorderedListPtr whole = order->slice(result, descending, 0, UINT32_MAX);
    EXPECT_EQ(Docs(whole->begin(), whole->end()), want) << "descending " << descending;
    const UnorderedListPtr slice = order->slice(result, descending, 100, 10);
    EXPECT_EQ(Docs(slice->begin(), slice->end()),
              Docs(want.begin() + std::min<std::size_t>(100, want.size()),
                   want.begin() + std::min<std::size_t>(110, want.size())))
        << "descending " << descending;
  }
}

bool shows(bool removed, SearchMode mode) {
  return mode == SearchMode::ALL || removed == (mode == SearchMode::REMOVED);
}

// What one index must hold: the newest record of every (key, document).
class KeyModel {
 public:
  KeyModel(const IndexKind& spec, FieldType type) : spec_(spec), type_(type) {}

  void apply(uint32_t document, const std::string& value, InsertMode mode) {
    builder_.forEachDocumentKey(spec_, type_, TextView(value), [&](Key key) {
      keys_[std::string(reinterpret_cast<const char*>(key + 1), key[0])][document] =
          mode == InsertMode::REMOVE;
    });
  }
  std::string queryKey(const std::string& value, std::string_view fullName) const {
    KeyBuffer key;
    IndexKeyBuilder::queryKey(spec_, type_, TextView(value), fullName, key);
    return std::string(reinterpret_cast<const char*>(key.data() + 1), key[0]);
  }
  // The keys visible in `mode`, ascending.
  std::vector<std::string> visible(SearchMode mode) const {
    std::vector<std::string> out;
    for (const auto& [key, documents] : keys_) {
      if (!docs(key, mode).empty()) out.push_back(key);
    }
    return out;
  }
  Docs docs(const std::string& key, SearchMode mode) const {
    Docs out;
    auto found = keys_.find(key);
    if (found == keys_.end()) return out;
    for (const auto& [document, removed] : found->second) {
      if (shows(removed, mode)) out.push_back(document);
    }
    return out;
  }
  // The documents of every visible key that `select` accepts.
  template <class Select>
  Docs filter(SearchMode mode, Select&& select) const {
    std::set<uint32_t> out;
    for (const auto& [key, documents] : keys_) {
      if (!select(key)) continue;
      for (uint32_t document : docs(key, mode)) out.insert(document);
    }
    return Docs(out.begin(), out.end());
  }
  std::string listed(const std::vector<std::string>& keys) const {
    TextBuffer out;
    for (const std::string& key : keys) {
      std::string stored(1, static_cast<char>(key.size()));
      stored += key;
      EXPECT_TRUE(
          IndexKeyConverter::appendListedKey(type_, reinterpret_cast<Key>(stored.data()), out));
    }
    return out.toString();
  }

 private:
  IndexKind spec_;
  FieldType type_;
  IndexKeyBuilder builder_;
  std::map<std::string, std::map<uint32_t, bool>> keys_;
};

// --- Random values ------------------------------------------------------------------------

class Values {
 public:
  explicit Values(uint32_t seed) : random_(seed) {}
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::string make(FieldType type) {
    switch (type) {
      case FieldType::INT64: {
        const int which = pick(0, 40);
        if (which == 0) return "-9223372036854775808";
        if (which == 1) return "9223372036854775807";
        return std::to_string(pick(-20, 20));
      }
      case FieldType::DOUBLE: {
        std::string text = pick(0, 2) == 0 ? "-" : "";
        text += std::to_string(pick(0, 30)) + ".";
        for (int i = pick(0, 2); i > 0; --i) text += static_cast<char>('0' + pick(0, 9));
        if (pick(0, 3) == 0) {
          text += 'e';
          text += std::to_string(pick(-3, 3));
        }
        return text;
      }
      case FieldType::DATE:
        return two(pick(1, 28)) + "." + two(pick(1, 12)) + "." + std::to_string(pick(1999, 2001));
      case FieldType::TIME: {
        std::string text = two(pick(0, 23)) + ":" + two(pick(0, 59));
        if (pick(0, 1) != 0) {
          text += ':';
          text += two(pick(0, 59));
        }
        return text;
      }
      case FieldType::DATETIME:
        return make(FieldType::DATE) + " " + make(FieldType::TIME);
      default:
        return text();
    }
  }

 private:
  static std::string two(int value) {
    std::string text = std::to_string(value);
    if (value < 10) text.insert(text.begin(), '0');
    return text;
  }
  std::string text() {
    static const char* const WORDS[] = {"a",
                                        "ab",
                                        "abc",
                                        "B",
                                        "ba",
                                        "fox",
                                        "Fox",
                                        "x1",
                                        "12",
                                        "\xB8\xEB\xEA\xE0",
                                        "\xC5\xcb\xca\xc0",
                                        "\xEF\xF0\xE8"};
    static const char* const SEPARATORS[] = {" ", "  ", ", ", "-", "."};
    std::string out;
    const int words = pick(0, 4);
    for (int i = 0; i < words; ++i) {
      if (i > 0) out += SEPARATORS[pick(0, 4)];
      out += WORDS[pick(0, 11)];
    }
    if (pick(0, 60) == 0) out += std::string(static_cast<std::size_t>(pick(240, 300)), 'w');
    return out;
  }

  std::mt19937 random_;
};

struct KindCase {
  std::string_view kind;
  FieldType type;
};

constexpr KindCase KINDS[] = {
    {"whole size=16", FieldType::TEXT},        {"whole-alphanum size=16 mult=3", FieldType::TEXT},
    {"words size=16", FieldType::TEXT},        {"words-prefix size=16", FieldType::TEXT},
    {"words-suffix size=16", FieldType::TEXT}, {"words-substr size=16", FieldType::TEXT},
    {"words-near1 size=16", FieldType::TEXT},  {"whole size=16", FieldType::INT64},
    {"whole size=16", FieldType::DOUBLE},      {"whole size=16", FieldType::DATE},
    {"whole size=16", FieldType::TIME},        {"whole size=16", FieldType::DATETIME},
};

class TableIndexSearchTest : public ::testing::TestWithParam<KindCase> {
 protected:
  void checkAll(TableIndex& index, KeyModel& model, Values& values,
                const std::vector<std::string>& samples) {
    const bool comparisons = index.spec().baseKind() == BaseKind::WHOLE ||
                             index.spec().baseKind() == BaseKind::WHOLE_ALPHANUM;
    const bool prefixes = index.fieldType() == FieldType::TEXT &&
                          index.spec().baseKind() != BaseKind::WORDS_SUFFIX &&
                          index.spec().baseKind() != BaseKind::WORDS_NEAR;
    for (SearchMode mode : {SearchMode::PRESENT, SearchMode::REMOVED, SearchMode::ALL}) {
      SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(mode));
      const std::vector<std::string> visible = model.visible(mode);
      EXPECT_EQ(index.countKeys(mode), visible.size());
      expectSortOrderOfAFreshWalk(index, mode, 2100);
      TextBuffer all;
      index.listKeysFromStart(0, 1000000, mode, all);
      EXPECT_EQ(all.toString(), model.listed(visible));

      for (std::size_t s = 0; s < samples.size(); ++s) {
        const std::string& value = samples[s];
        SCOPED_TRACE(testing::Message() << "value '" << value << "'");
        const std::string q = model.queryKey(value, index.fullName());
        EXPECT_EQ(numbers(index.equal(TextView(value), mode)), model.docs(q, mode));
        if (prefixes) {
          const bool oneKey = index.spec().prefixSearch() == PrefixSearch::EQUAL_KEY;
          EXPECT_EQ(numbers(index.prefix(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) {
                      return oneKey ? k == q : k.compare(0, q.size(), q) == 0;
                    }));
        }
        if (comparisons) {
          EXPECT_EQ(numbers(index.less(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) { return k < q; }));
          EXPECT_EQ(numbers(index.lessOrEqual(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) { return k <= q; }));
          EXPECT_EQ(numbers(index.greater(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) { return k > q; }));
          EXPECT_EQ(numbers(index.greaterOrEqual(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) { return k >= q; }));
          EXPECT_EQ(numbers(index.notEqual(TextView(value), mode)),
                    model.filter(mode, [&](const std::string& k) { return k != q; }));
          const std::string& other = samples[(s * 7 + 3) % samples.size()];
          const std::string q2 = model.queryKey(other, index.fullName());
          EXPECT_EQ(numbers(index.range(TextView(value), TextView(other), mode)),
                    model.filter(mode, [&](const std::string& k) { return q <= k && k <= q2; }));
        }
        // Listings from the value, both ways.
        const uint32_t length = static_cast<uint32_t>(values.pick(1, 6));
        auto from = std::lower_bound(visible.begin(), visible.end(), q);
        std::vector<std::string> forwards(
            from, from + std::min<std::ptrdiff_t>(length, visible.end() - from));
        TextBuffer listed;
        index.listKeysFrom(TextView(value), false, length, mode, listed);
        EXPECT_EQ(listed.toString(), model.listed(forwards));
        auto upTo = std::upper_bound(visible.begin(), visible.end(), q);
        std::vector<std::string> backwards;
        for (auto it = upTo; it != visible.begin() && backwards.size() < length;)
          backwards.push_back(*--it);
        listed.clear();
        index.listKeysFrom(TextView(value), true, length, mode, listed);
        EXPECT_EQ(listed.toString(), model.listed(backwards));
      }
    }
  }

  DataDirectory dir_;
};

TEST_P(TableIndexSearchTest, EveryOperationMatchesABruteForceFilterInEveryMode) {
  const KindCase kind = GetParam();
  for (uint32_t seed : testSeeds(1)) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " kind " << kind.kind);
    Values values(seed);
    std::shared_ptr<TableIndex> index = makeIndex(kind.kind, kind.type, dir_.path());
    KeyModel model(index->spec(), kind.type);
    index->create();
    constexpr uint32_t DOCUMENTS = 2000;
    std::vector<std::string> stored(DOCUMENTS);
    std::vector<bool> removed(DOCUMENTS, false);
    const auto removeSome = [&](uint32_t below) {
      for (int i = 0; i < 300; ++i) {
        const uint32_t document =
            static_cast<uint32_t>(values.pick(0, static_cast<int>(below) - 1));
        if (removed[document]) continue;
        removed[document] = true;
        index->addDocument(document, TextView(stored[document]), InsertMode::REMOVE);
        model.apply(document, stored[document], InsertMode::REMOVE);
      }
    };
    for (uint32_t document = 0; document < DOCUMENTS; ++document) {
      stored[document] = values.make(kind.type);
      index->addDocument(document, TextView(stored[document]), InsertMode::INSERT);
      model.apply(document, stored[document], InsertMode::INSERT);
      // A kept order never outlives a change of the index.
      if (document % 400 == 399) expectSortOrderOfAFreshWalk(*index, SearchMode::PRESENT, 2100);
      if (document == DOCUMENTS / 2) {
        removeSome(document);
        // Half of the records reach the disk and come back through an ordinary open.
        index->commitPrepare();
        index->commitFinish();
        index->close();
        index->open(OpenMode::openNormal);
      }
    }
    removeSome(DOCUMENTS);

    std::vector<std::string> samples;
    for (int i = 0; i < 12; ++i)
      samples.push_back(stored[static_cast<std::size_t>(values.pick(0, DOCUMENTS - 1))]);
    for (int i = 0; i < 6; ++i) samples.push_back(values.make(kind.type));
    if (kind.type == FieldType::TEXT) {
      for (std::string_view extra : {"", "a", "ab", "\xA8\xCB", "zzz", "-"})
        samples.emplace_back(extra);
    }
    checkAll(*index, model, values, samples);

    index->commitPrepare();
    index->commitFinish();
    index->close();
    index->open(OpenMode::openNormal);
    checkAll(*index, model, values, samples);
    index->close();
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TableIndexSearchTest, ::testing::ValuesIn(KINDS),
                         [](const ::testing::TestParamInfo<KindCase>& info) {
                           std::string name =
                               std::string(info.param.kind.substr(0, info.param.kind.find(' '))) +
                               "_" + std::string(fieldTypeKeyword(info.param.type));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + "_" + std::to_string(info.index);
                         });

// --- Refusals and failures ------------------------------------------------------------------

class TableIndexTest : public ::testing::Test {
 protected:
  template <class Action>
  static std::string refusal(Action&& action) {
    try {
      action();
    } catch (const SemanticError& e) {
      return e.message();
    }
    return "<no SemanticError>";
  }
  template <class Action>
  static std::string failure(Action&& action) {
    try {
      action();
    } catch (const DiskOrMemoryError& e) {
      return e.message();
    }
    return "<no DiskOrMemoryError>";
  }

  DataDirectory dir_;
};

TEST_F(TableIndexTest, OperationsTheKindDoesNotOfferAreRefused) {
  std::shared_ptr<TableIndex> words = makeIndex("words size=16", FieldType::TEXT, dir_.path());
  std::shared_ptr<TableIndex> number =
      makeIndex("whole size=16", FieldType::INT64, dir_.path(), "n");
  words->create();
  number->create();
  const TextView v("a");
  const SearchMode m = SearchMode::PRESENT;
  EXPECT_EQ(refusal([&] { words->less(v, m); }),
            std::string("операция '<' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { words->lessOrEqual(v, m); }),
            std::string("операция '<=' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { words->greater(v, m); }),
            std::string("операция '>' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { words->greaterOrEqual(v, m); }),
            std::string("операция '>=' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { words->notEqual(v, m); }),
            std::string("операция '<>' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { words->range(v, v, m); }),
            std::string("операция range применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(refusal([&] { number->prefix(TextView("1"), m); }),
            std::string("операция prefix применима только к индексам whole, whole-alphanum, words, "
                        "words-substr, words-prefix полей типа text"_cp866));
  EXPECT_EQ(refusal([&] { number->equal(TextView("1e5"), m); }),
            std::string("значение 1e5 не соответствует типу поля/индекса t.f.n"_cp866));
  EXPECT_EQ(refusal([&] { number->range(TextView("1"), TextView("x"), m); }),
            std::string("значение x не соответствует типу поля/индекса t.f.n"_cp866));
}

TEST_F(TableIndexTest, KeyListingsOfLengthZeroOrFromOtherThanZeroAreRefused) {
  std::shared_ptr<TableIndex> number = makeIndex("whole size=16", FieldType::INT64, dir_.path());
  number->create();
  number->addDocument(3, TextView("-5"), InsertMode::INSERT);
  number->addDocument(4, TextView("12"), InsertMode::INSERT);
  TextBuffer out;
  const std::string zero("после length допустимо только число больше 0"_cp866);
  EXPECT_EQ(refusal([&] { number->listKeysFromStart(0, 0, SearchMode::PRESENT, out); }), zero);
  EXPECT_EQ(refusal([&] { number->listKeysFrom(TextView("0"), true, 0, SearchMode::ALL, out); }),
            zero);
  EXPECT_EQ(refusal([&] { number->listKeysFromStart(1, 5, SearchMode::PRESENT, out); }),
            std::string("после from допустимо только число 0"_cp866));
  EXPECT_EQ(out.length(), 0u);
  // No search was left open: the index takes insertions and commits.
  number->addDocument(5, TextView("7"), InsertMode::INSERT);
  number->listKeysFromStart(0, 5, SearchMode::PRESENT, out);
  EXPECT_EQ(out.toString(), "#2#-5#\r\n#1#7#\r\n#2#12#\r\n");
  number->commitPrepare();
  number->commitFinish();
}

TEST_F(TableIndexTest, FileFailuresAreDiskErrorsNamingTheFile) {
  std::shared_ptr<TableIndex> index = makeIndex("whole size=16", FieldType::TEXT, dir_.path());
  EXPECT_EQ(index->filePath(), dir_.path() + "t.f.i.index");
  EXPECT_EQ(failure([&] { index->open(OpenMode::openNormal); }),
            std::string("Не удалось открыть файл индекса "_cp866) + index->filePath());
  EXPECT_FALSE(index->isOpen());
  std::shared_ptr<TableIndex> lost =
      makeIndex("whole size=16", FieldType::TEXT, dir_.path() + "missing/");
  EXPECT_EQ(failure([&] { lost->create(); }),
            std::string("Не удалось создать файл "_cp866) + lost->filePath());

  index->create();
  EXPECT_EQ(failure([&] { index->addDocument(1u << 30, TextView("x"), InsertMode::INSERT); }),
            std::string("ошибка работы с индексом"_cp866));
}

TEST_F(TableIndexTest, UncommittedKeysAreGoneAfterReopening) {
  std::shared_ptr<TableIndex> index = makeIndex("words size=16", FieldType::TEXT, dir_.path());
  index->create();
  index->addDocument(0, TextView("kept"), InsertMode::INSERT);
  index->commitPrepare();
  index->commitFinish();
  index->addDocument(1, TextView("lost"), InsertMode::INSERT);
  index->close();
  index->open(OpenMode::openNormal);
  EXPECT_EQ(numbers(index->equal(TextView("KEPT"), SearchMode::ALL)), Docs{0});
  EXPECT_EQ(numbers(index->equal(TextView("lost"), SearchMode::ALL)), Docs{});
}

TEST_F(TableIndexTest, ReadsAndWritesItsDeclaration) {
  Scanner scanner{TextView("index Near 'words-near2 mult=5' ; rest")};
  scanner.next();
  std::shared_ptr<TableIndex> index = TableIndex::read(scanner, "t.g.f", FieldType::TEXT, "d/");
  EXPECT_TRUE(scanner.isName("rest"));
  EXPECT_EQ(index->fullName(), "t.g.f.near");
  EXPECT_EQ(index->baseKind(), "words-near2");
  EXPECT_EQ(index->filePath(), "d/t.g.f.near.index");
  TextBuffer out;
  index->write(out, "   ");
  EXPECT_EQ(out.toString(), "   index near #18#words-near2 mult=5#;\r\n");
}

}  // namespace
}  // namespace dovrel::index::test
