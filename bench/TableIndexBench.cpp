// Search latency of table indexes holding a million documents (equal, prefix and range,
// as built by insertion and after merging into one chain), and the cost of storing a
// document in a table (text, meta record and the keys of a words index).
//   build/bench/tableindex_bench [--benchmark_filter=REGEX]
// The files go to /dev/shm when it exists (else /tmp) and are removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "index/MergeIndex.h"
#include "keys/TableIndex.h"
#include "principals/User.h"
#include "tables/Document.h"
#include "tables/Table.h"

namespace {

using namespace dovrel;
using namespace dovrel::index;

constexpr uint32_t DOCUMENTS = 1000000;

std::string scratchDirectory() {
  const std::string parent = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string pattern = parent + "/dovrel-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern + "/";
}

std::string textKey(uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "K%07u", n);
  return text;
}

// A text whole index and an int64 whole index over DOCUMENTS documents, document n with
// the key K%07u of n and the number n, in clusters of 2^sizeLog bytes. Built once;
// `merged` runs optimize to one chain.
struct MillionIndexes {
  MillionIndexes(int sizeLog, bool merged, bool fill = true) : directory(scratchDirectory()) {
    if (!fill) return;
    const std::string kind = "whole size=" + std::to_string(sizeLog);
    text = make(kind, FieldType::TEXT, "t");
    number = make(kind, FieldType::INT64, "n");
    for (uint32_t n = 0; n < DOCUMENTS; ++n) {
      // Scattered insertion order, so that every chain covers the whole key range.
      const uint32_t document = static_cast<uint32_t>((uint64_t{n} * 7919) % DOCUMENTS);
      text->addDocument(document, TextView(textKey(document)), InsertMode::INSERT);
      number->addDocument(document, TextView(std::to_string(document)), InsertMode::INSERT);
    }
    if (merged) {
      while (text->optimize() == OptimizeResult::MORE) {
      }
      while (number->optimize() == OptimizeResult::MORE) {
      }
    }
    for (auto* each : {text.get(), number.get()}) {
      each->commitPrepare();
      each->commitFinish();
    }
  }
  ~MillionIndexes() {
    text.reset();
    number.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  std::shared_ptr<TableIndex> make(std::string_view kind, FieldType type, std::string name) {
    IndexKind spec = IndexKind::parse(kind, "b.f." + name);
    auto index = std::make_shared<TableIndex>(IndexDeclaration(name, "b.f", type, spec), directory);
    index->create();
    return index;
  }

  std::string directory;
  std::shared_ptr<TableIndex> text;
  std::shared_ptr<TableIndex> number;
};

// The indexes of the benchmark's first two arguments: cluster size logarithm, merged.
MillionIndexes& indexes(const benchmark::State& state) {
  static std::unique_ptr<MillionIndexes> built;
  static std::pair<int64_t, int64_t> shape;
  if (built == nullptr || shape != std::pair(state.range(0), state.range(1))) {
    built.reset();  // one set of files at a time
    shape = {state.range(0), state.range(1)};
    built = std::make_unique<MillionIndexes>(static_cast<int>(shape.first), shape.second != 0);
  }
  return *built;
}

void addChainCounter(benchmark::State& state, TableIndex& index) {
  state.counters["chains"] = index.mergeIndex()->chainNum();
}

void BM_Equal(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(1);
  for (auto _ : state) {
    OrderedListPtr found =
        built.text->equal(TextView(textKey(random() % DOCUMENTS)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *built.text);
}
// Arguments: cluster size logarithm, merged into one chain.
BENCHMARK(BM_Equal)->ArgsProduct({{16, 20}, {0, 1}})->Unit(benchmark::kMicrosecond);

// A prefix of 5 characters after "K" matches 100 keys.
void BM_Prefix100(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(2);
  for (auto _ : state) {
    const std::string key = textKey(random() % DOCUMENTS).substr(0, 6);
    OrderedListPtr found = built.text->prefix(TextView(key), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *built.text);
}
BENCHMARK(BM_Prefix100)->ArgsProduct({{16, 20}, {0, 1}})->Unit(benchmark::kMicrosecond);

// int64 ranges of 10 and 1000 keys.
void BM_Range(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  const uint32_t width = static_cast<uint32_t>(state.range(2));
  std::mt19937 random(3);
  for (auto _ : state) {
    const uint32_t from = random() % (DOCUMENTS - width);
    OrderedListPtr found =
        built.number->range(TextView(std::to_string(from)),
                            TextView(std::to_string(from + width - 1)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *built.number);
}
// Arguments: cluster size logarithm, merged into one chain, keys in the range.
BENCHMARK(BM_Range)->ArgsProduct({{16, 20}, {0, 1}, {10, 1000}})->Unit(benchmark::kMicrosecond);

// 100 000 documents, each with a price drawn from 100 to 99 999 cents on a double whole
// index, inserted in document order as an ingest does (several chains): a window of 201
// keys holds about 200 documents scattered over the table, united from every chain.
void BM_RangeScattered(benchmark::State& state) {
  static std::unique_ptr<MillionIndexes> built;
  static std::shared_ptr<TableIndex> price;
  if (price == nullptr) {
    built = std::make_unique<MillionIndexes>(0, false, false);
    price = built->make("whole", FieldType::DOUBLE, "p");
    std::mt19937 random(7);
    for (uint32_t document = 0; document < 100000; ++document) {
      const uint32_t cents = 100 + random() % 99900;
      price->addDocument(document,
                         TextView(std::to_string(cents / 100) + "." +
                                  std::to_string(cents % 100 / 10) + std::to_string(cents % 10)),
                         InsertMode::INSERT);
      // Batches committed one after another, each flushing the pool into a chain.
      if (document % 1000 == 999) {
        price->commitPrepare();
        price->commitFinish();
      }
    }
  }
  std::mt19937 random(8);
  for (auto _ : state) {
    const uint32_t from = 100 + random() % (99999 - 300);
    const auto text = [](uint32_t cents) {
      return std::to_string(cents / 100) + "." + std::to_string(cents % 100 / 10) +
             std::to_string(cents % 10);
    };
    OrderedListPtr found =
        price->range(TextView(text(from)), TextView(text(from + 200)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *price);
}
BENCHMARK(BM_RangeScattered)->Unit(benchmark::kMicrosecond);

// Prefixes of 3 characters after "K" match 10 000 keys, ranges of 10 000 numbers: one
// document per key, as a prefix or range over a whole index of nearly unique values.
void BM_PrefixWide(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(5);
  for (auto _ : state) {
    const std::string key = textKey(random() % DOCUMENTS).substr(0, 4);
    OrderedListPtr found = built.text->prefix(TextView(key), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *built.text);
}
BENCHMARK(BM_PrefixWide)->ArgsProduct({{16}, {0, 1}})->Unit(benchmark::kMicrosecond);

void BM_RangeWide(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(6);
  for (auto _ : state) {
    const uint32_t from = random() % (DOCUMENTS - 10000);
    OrderedListPtr found = built.number->range(
        TextView(std::to_string(from)), TextView(std::to_string(from + 9999)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
  addChainCounter(state, *built.number);
}
BENCHMARK(BM_RangeWide)->ArgsProduct({{16}, {0, 1}})->Unit(benchmark::kMicrosecond);

// A words index over 250 000 documents of 40 words each, drawn with Zipf weights 1/rank from
// 5 000 words, as built by insertion (several chains).
struct WordIndex {
  static constexpr uint32_t DOCS = 250000;
  static constexpr uint32_t VOCABULARY = 5000;

  WordIndex() : directory(scratchDirectory()) {
    IndexKind spec = IndexKind::parse("words", "b.f.w");
    index = std::make_shared<TableIndex>(IndexDeclaration("w", "b.f", FieldType::TEXT, spec),
                                         directory);
    index->create();
    std::vector<double> cumulative;
    double sum = 0;
    for (uint32_t rank = 1; rank <= VOCABULARY; ++rank) cumulative.push_back(sum += 1.0 / rank);
    std::mt19937_64 random(7);
    std::string text;
    for (uint32_t document = 0; document < DOCS; ++document) {
      text.clear();
      for (int w = 0; w < 40; ++w) {
        const double u = std::uniform_real_distribution<double>(0, sum)(random);
        text +=
            word(std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
        text += ' ';
      }
      index->addDocument(document, TextView(text), InsertMode::INSERT);
    }
    index->commitPrepare();
    index->commitFinish();
  }
  ~WordIndex() {
    index.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  static std::string word(std::ptrdiff_t rank) {
    std::string text = "w";  // appended: operator+ trips g++ 12's -Wrestrict
    text += std::to_string(rank);
    return text;
  }

  std::string directory;
  std::shared_ptr<TableIndex> index;
};

// Two words among the 100 most frequent, joined with and (each in tens of thousands of
// documents).
void BM_AndFrequentWords(benchmark::State& state) {
  static WordIndex built;
  std::mt19937 random(8);
  for (auto _ : state) {
    OrderedListPtr first =
        built.index->equal(TextView(WordIndex::word(random() % 100)), SearchMode::PRESENT);
    OrderedListPtr second =
        built.index->equal(TextView(WordIndex::word(random() % 100)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(intersectionOf(first, second)->length());
  }
  addChainCounter(state, *built.index);
}
BENCHMARK(BM_AndFrequentWords)->Unit(benchmark::kMicrosecond);

// Storing one document of about 400 bytes: canonical text, meta record, and the keys of a
// words index and an int64 index (no commit).
void BM_TableAddDocument(benchmark::State& state) {
  const std::string directory = scratchDirectory();
  {
    const std::string structure =
        "table b alias '' { field title alias '' : text { index w 'words'; };"
        " field n alias '' : int64 { index n 'whole'; }; };";
    Scanner scanner{TextView(structure)};
    scanner.next();
    std::shared_ptr<Table> table = Table::read(scanner, directory);
    table->createFiles();
    std::shared_ptr<User> user = User::create();
    user->setName("bench");
    std::mt19937 random(4);
    uint32_t added = 0;
    for (auto _ : state) {
      std::string text = "document { field title = '";
      for (int w = 0; w < 60; ++w) text += "word" + std::to_string(random() % 5000) + " ";
      text += "'; field n = '" + std::to_string(random() % 100000) + "'; }";
      Scanner reader{TextView(text)};
      reader.next();
      std::shared_ptr<Document> document = Document::read(reader);
      document->validate(*table);
      table->addDocument(*document, *user);
      ++added;
    }
    state.SetItemsProcessed(added);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}
BENCHMARK(BM_TableAddDocument)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
