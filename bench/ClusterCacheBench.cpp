// Repeated searches of table indexes with the cluster cache off (every search reads and
// validates its clusters from the file) and on (its default 64 MiB): equal, prefix and
// range over a million documents, as built by insertion and merged into one chain; and
// loading 2 million pairs into a merge index, whose merges read their sources again after
// every step.
//   build/bench/clustercache_bench [--benchmark_filter=REGEX]
// The files go to /dev/shm when it exists (else /tmp) and are removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/ClusterCache.h"
#include "index/MergeIndex.h"
#include "keys/TableIndex.h"

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

// A text whole index and an int64 whole index, document n with the key K%07u of n and the
// number n, in clusters of 2^sizeLog bytes; `merged` optimizes them to one chain.
struct MillionIndexes {
  MillionIndexes(int sizeLog, bool merged) : directory(scratchDirectory()) {
    const std::string kind = "whole size=" + std::to_string(sizeLog);
    text = make(kind, FieldType::TEXT, "t");
    number = make(kind, FieldType::INT64, "n");
    for (uint32_t n = 0; n < DOCUMENTS; ++n) {
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

// Arguments: cluster size logarithm, merged, cache on. The indexes are built once per shape.
MillionIndexes& indexes(benchmark::State& state) {
  static std::unique_ptr<MillionIndexes> built;
  static std::pair<int64_t, int64_t> shape;
  if (built == nullptr || shape != std::pair(state.range(0), state.range(1))) {
    built.reset();
    shape = {state.range(0), state.range(1)};
    built = std::make_unique<MillionIndexes>(static_cast<int>(shape.first), shape.second != 0);
  }
  ClusterCache::shared().clear();
  ClusterCache::shared().setCapacity(state.range(2) != 0 ? ClusterCache::DEFAULT_CAPACITY : 0);
  state.counters["chains"] = built->text->mergeIndex()->chainNum();
  return *built;
}

void BM_CachedEqual(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(1);
  for (auto _ : state) {
    OrderedListPtr found =
        built.text->equal(TextView(textKey(random() % DOCUMENTS)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
}
BENCHMARK(BM_CachedEqual)->ArgsProduct({{16, 20}, {0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);

void BM_CachedPrefix100(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(2);
  for (auto _ : state) {
    const std::string key = textKey(random() % DOCUMENTS).substr(0, 6);
    OrderedListPtr found = built.text->prefix(TextView(key), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
}
BENCHMARK(BM_CachedPrefix100)
    ->ArgsProduct({{16, 20}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

void BM_CachedRange1000(benchmark::State& state) {
  MillionIndexes& built = indexes(state);
  std::mt19937 random(3);
  for (auto _ : state) {
    const uint32_t from = random() % (DOCUMENTS - 1000);
    OrderedListPtr found = built.number->range(
        TextView(std::to_string(from)), TextView(std::to_string(from + 999)), SearchMode::PRESENT);
    benchmark::DoNotOptimize(found->length());
  }
}
BENCHMARK(BM_CachedRange1000)
    ->ArgsProduct({{16, 20}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// 2 000 000 (word-like key, document) pairs, 200 words a document, 1 MiB clusters, a commit
// every million pairs; the file in /tmp (O_DIRECT on ext4). Argument: cache on.
void BM_LoadPairs(benchmark::State& state) {
  ClusterCache::shared().clear();
  ClusterCache::shared().setCapacity(state.range(0) != 0 ? ClusterCache::DEFAULT_CAPACITY : 0);
  std::mt19937 rng(11);
  std::vector<std::string> words;
  for (uint32_t i = 0; i < 200000; ++i) {
    std::string word(1, static_cast<char>(2 + rng() % 11));
    for (int j = 0; j < word[0]; ++j) word.push_back(static_cast<char>('a' + rng() % 26));
    words.push_back(std::move(word));
  }
  std::vector<uint32_t> text(2000000);
  for (uint32_t& w : text) w = static_cast<uint32_t>(rng() % (1 + rng() % words.size()));
  for (auto _ : state) {
    const std::string path = "/tmp/dovrel-cache-load-" + std::to_string(::getpid()) + ".index";
    std::unique_ptr<MergeIndex> index;
    ErrorCode error = MergeIndex::create(path, 1u << 20, 2, index);
    if (error != EM_NO_ERRORS) return state.SkipWithError("create failed");
    for (uint32_t i = 0; i < text.size() && error == EM_NO_ERRORS; ++i) {
      error =
          index->insert(reinterpret_cast<Key>(words[text[i]].data()), i / 200, InsertMode::INSERT);
      if ((i + 1) % 1000000 == 0 && error == EM_NO_ERRORS) {
        error = index->commitPrepare();
        if (error == EM_NO_ERRORS) error = index->commitFinish();
      }
    }
    if (error != EM_NO_ERRORS) state.SkipWithError("load failed");
    state.counters["chains"] = index->chainNum();
    index->destroy();
    index.reset();
    std::filesystem::remove(path);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  ClusterCache::shared().setCapacity(ClusterCache::DEFAULT_CAPACITY);
}
BENCHMARK(BM_LoadPairs)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
