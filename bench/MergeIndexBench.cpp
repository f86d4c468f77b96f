// Merge index benchmarks: loading (key, document) pairs of word-like keys with 1 MiB
// clusters and a commit every million pairs, the file size against the raw pairs, equality
// and prefix searches after loading, optimizing to one chain, and the searches again.
//   build/bench/mergeindex_bench [--benchmark_filter=REGEX]
// DOVREL_BENCH_PAIRS sets the number of pairs (default 2 000 000; the figures in
// docs/PERFORMANCE.md used 10 000 000). The file lives in the system's temporary directory.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "index/MergeIndex.h"

namespace {

using namespace dovrel;
using namespace dovrel::index;

constexpr uint32_t MIB = 1u << 20;
constexpr uint64_t COMMIT_EVERY = 1000000;
constexpr uint32_t WORDS_PER_DOCUMENT = 200;
constexpr uint32_t VOCABULARY = 200000;

uint64_t pairCount() {
  const char* text = ::getenv("DOVREL_BENCH_PAIRS");
  return text != nullptr ? std::stoull(text) : 2000000;
}

Key asKey(const std::string& stored) { return reinterpret_cast<Key>(stored.data()); }

// Word-like keys (stored form) of 2 to 12 lower-case letters, and the order in which they
// occur: ranks drawn with frequency 1/rank, as words of prose are.
struct Corpus {
  std::vector<std::string> words;
  std::vector<uint32_t> text;   // word index per pair
  std::vector<uint8_t> stream;  // the keys of the pairs one after another, as a caller
                                // building keys would hand them over

  explicit Corpus(uint64_t pairs) {
    std::mt19937 rng(11);
    for (uint32_t i = 0; i < VOCABULARY; ++i) {
      std::string w(1, static_cast<char>(2 + rng() % 11));
      for (int j = 0; j < w[0]; ++j) w.push_back(static_cast<char>('a' + rng() % 26));
      words.push_back(std::move(w));
    }
    std::vector<double> weights(VOCABULARY);
    for (uint32_t i = 0; i < VOCABULARY; ++i) weights[i] = 1.0 / (i + 1);
    std::discrete_distribution<uint32_t> rank(weights.begin(), weights.end());
    text.resize(pairs);
    for (uint32_t& w : text) {
      w = rank(rng);
      stream.insert(stream.end(), words[w].begin(), words[w].end());
    }
  }
};

struct Loaded {
  std::string path;
  std::unique_ptr<MergeIndex> index;
  std::unique_ptr<Corpus> corpus;
  double loadSeconds = 0;
  double loadCpuSeconds = 0;
  uint64_t rawBytes = 0;
  bool ok = false;
  bool optimized = false;

  ~Loaded() {
    index.reset();
    if (!path.empty()) std::filesystem::remove(path);
  }
};

Loaded& shared() {
  static Loaded loaded;
  if (loaded.corpus != nullptr) return loaded;
  const uint64_t pairs = pairCount();
  loaded.corpus = std::make_unique<Corpus>(pairs);
  loaded.path = (std::filesystem::temp_directory_path() / "dovrel-merge-bench.index").string();
  ErrorCode error = EM_NO_ERRORS;
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  error = MergeIndex::create(loaded.path, MIB, 2, loaded.index);
  const uint8_t* next = loaded.corpus->stream.data();
  for (uint64_t i = 0; i < pairs && error == EM_NO_ERRORS; ++i) {
    error = loaded.index->insert(next, static_cast<uint32_t>(i / WORDS_PER_DOCUMENT),
                                 InsertMode::INSERT);
    loaded.rawBytes += next[0] + 4u;
    next += next[0] + 1;
    if ((i + 1) % COMMIT_EVERY == 0 && error == EM_NO_ERRORS) {
      error = loaded.index->commitPrepare();
      if (error == EM_NO_ERRORS) error = loaded.index->commitFinish();
    }
  }
  if (error == EM_NO_ERRORS) error = loaded.index->commitPrepare();
  if (error == EM_NO_ERRORS) error = loaded.index->commitFinish();
  loaded.loadSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  loaded.loadCpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  loaded.ok = error == EM_NO_ERRORS;
  return loaded;
}

void BM_LoadPairs(benchmark::State& state) {
  Loaded& loaded = shared();
  if (!loaded.ok) return state.SkipWithError("loading failed");
  for (auto _ : state) state.SetIterationTime(loaded.loadSeconds);
  const double pairs = static_cast<double>(loaded.corpus->text.size());
  state.counters["pairs"] = pairs;
  state.counters["pairs_per_s"] = pairs / loaded.loadSeconds;
  state.counters["pairs_per_cpu_s"] = pairs / loaded.loadCpuSeconds;
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(loaded.path)) / 1e6;
  state.counters["file_per_raw"] =
      static_cast<double>(std::filesystem::file_size(loaded.path)) / loaded.rawBytes;
  state.counters["chains"] = loaded.index->chainNum();
  state.counters["merges"] = loaded.index->inMergeNum();
}
BENCHMARK(BM_LoadPairs)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The documents of one key, all batches, as an equality search collects them.
uint64_t collect(MergeIndex& index, ErrorCode& error) {
  std::array<uint32_t, DOCS_BATCH> batch{};
  uint64_t total = 0;
  for (uint32_t count = DOCS_BATCH; count == DOCS_BATCH && error == EM_NO_ERRORS;) {
    error = index.getDocs(batch, count);
    total += count;
  }
  return total;
}

// Equality search of a vocabulary word: range(0) = 0 picks any word (most are rare),
// 1 one of the hundred most frequent.
void equalSearch(benchmark::State& state) {
  Loaded& loaded = shared();
  if (!loaded.ok) return state.SkipWithError("loading failed");
  std::mt19937 rng(3);
  ErrorCode error = EM_NO_ERRORS;
  uint64_t documents = 0;
  for (auto _ : state) {
    uint32_t w = state.range(0) == 0 ? rng() % VOCABULARY : rng() % 100;
    const std::string& word = loaded.corpus->words[w];
    SearchCode code = SEARCH_SMALLER;
    if (error == EM_NO_ERRORS)
      error = loaded.index->findKey(asKey(word), SearchMode::PRESENT, code);
    if (error == EM_NO_ERRORS && code == SEARCH_EQUAL) documents += collect(*loaded.index, error);
    loaded.index->endSearch();
  }
  if (error != EM_NO_ERRORS) state.SkipWithError("search failed");
  state.counters["docs_per_search"] =
      static_cast<double>(documents) / static_cast<double>(state.iterations());
  state.counters["chains"] = loaded.index->chainNum();
}

// Every key beginning with the first three letters of a vocabulary word, with its
// documents, as a prefix search collects them.
void prefixSearch(benchmark::State& state) {
  Loaded& loaded = shared();
  if (!loaded.ok) return state.SkipWithError("loading failed");
  std::mt19937 rng(4);
  ErrorCode error = EM_NO_ERRORS;
  uint64_t keys = 0;
  uint64_t documents = 0;
  for (auto _ : state) {
    std::string prefix = loaded.corpus->words[rng() % VOCABULARY];
    prefix.resize(std::min<std::size_t>(prefix.size(), 4));
    prefix[0] = static_cast<char>(prefix.size() - 1);
    SearchCode code = SEARCH_SMALLER;
    if (error == EM_NO_ERRORS)
      error = loaded.index->findKey(asKey(prefix), SearchMode::PRESENT, code);
    bool end = code == SEARCH_SMALLER;
    std::array<uint8_t, 256> current{};
    while (!end && error == EM_NO_ERRORS) {
      loaded.index->getKey(current.data());
      if (current[0] < prefix[0] ||
          std::memcmp(current.data() + 1, prefix.data() + 1, prefix.size() - 1) != 0) {
        break;
      }
      ++keys;
      documents += collect(*loaded.index, error);
      if (error == EM_NO_ERRORS) error = loaded.index->nextKey(end);
    }
    loaded.index->endSearch();
  }
  if (error != EM_NO_ERRORS) state.SkipWithError("search failed");
  state.counters["keys_per_search"] =
      static_cast<double>(keys) / static_cast<double>(state.iterations());
  state.counters["docs_per_search"] =
      static_cast<double>(documents) / static_cast<double>(state.iterations());
}

void BM_EqualSearch(benchmark::State& state) { equalSearch(state); }
BENCHMARK(BM_EqualSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
void BM_PrefixSearch(benchmark::State& state) { prefixSearch(state); }
BENCHMARK(BM_PrefixSearch)->Unit(benchmark::kMicrosecond);

void BM_OptimizeToOneChain(benchmark::State& state) {
  Loaded& loaded = shared();
  if (!loaded.ok || loaded.optimized) return state.SkipWithError("not loaded or done already");
  ErrorCode error = EM_NO_ERRORS;
  uint64_t rounds = 0;
  const uint32_t chainsBefore = loaded.index->chainNum();
  for (auto _ : state) {
    OptimizeResult result = OptimizeResult::MORE;
    while (error == EM_NO_ERRORS && (error = loaded.index->optimize(result)) == EM_NO_ERRORS &&
           result == OptimizeResult::MORE) {
      ++rounds;
    }
    if (error == EM_NO_ERRORS) error = loaded.index->commitPrepare();
    if (error == EM_NO_ERRORS) error = loaded.index->commitFinish();
  }
  if (error != EM_NO_ERRORS) return state.SkipWithError("optimize failed");
  loaded.optimized = true;
  state.counters["chains_before"] = chainsBefore;
  state.counters["rounds"] = static_cast<double>(rounds);
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(loaded.path)) / 1e6;
  state.counters["used_MB"] =
      static_cast<double>(loaded.index->clusterNum() - loaded.index->freeClusterNum()) *
      loaded.index->clusterLength() / 1e6;
}
BENCHMARK(BM_OptimizeToOneChain)->Iterations(1)->Unit(benchmark::kSecond);

void BM_EqualSearchOneChain(benchmark::State& state) { equalSearch(state); }
BENCHMARK(BM_EqualSearchOneChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
void BM_PrefixSearchOneChain(benchmark::State& state) { prefixSearch(state); }
BENCHMARK(BM_PrefixSearchOneChain)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
