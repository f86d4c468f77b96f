// Micro benchmarks of the lower index engine: pool insert rate for word keys with 1 MiB
// clusters, cluster validation throughput, and chain find latency on a 64-cluster chain.
//   build/bench/index_bench [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/IndexFile.h"
#include "index/MergePool.h"

namespace {

using namespace dovrel;
using namespace dovrel::index;

constexpr uint32_t MIB = 1u << 20;

// Word-like keys of 4 to 12 letters (stored form), drawn from a fixed vocabulary.
std::vector<std::string> vocabulary(std::size_t words, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < words; ++i) {
    std::string k(1, static_cast<char>(4 + rng() % 9));
    for (int j = 0; j < k[0]; ++j) k.push_back(static_cast<char>('a' + rng() % 26));
    out.push_back(std::move(k));
  }
  return out;
}

Key asKey(const std::string& stored) { return reinterpret_cast<Key>(stored.data()); }

// A 1 MiB cluster full of word keys with a few values each, as a pool flush leaves it.
void fillWithWords(Cluster& cluster, uint32_t seed) {
  std::vector<std::string> words = vocabulary(200000, seed);
  std::sort(words.begin(), words.end(), [](const std::string& a, const std::string& b) {
    return keyCompare(asKey(a), asKey(b)) < 0;
  });
  words.erase(std::unique(words.begin(), words.end()), words.end());
  cluster.clear();
  uint32_t doc = 0;
  for (const std::string& w : words) {
    if (cluster.freeBytes() < w.size() + 1 + 4 + 3 * 4) break;
    cluster.addKey(asKey(w), (2 * doc++) | KEY_MARKER);
    for (int i = 0; i < 3; ++i) cluster.addValue(2 * doc++);
  }
}

// Inserts (word, document) entries into a pool of 1 MiB clusters; each time the pool is
// full its run is copied into a cluster, as a flush does before writing it.
void BM_PoolInsertWords(benchmark::State& state) {
  std::unique_ptr<MergePool> pool;
  std::unique_ptr<Cluster> cluster;
  if (MergePool::create(MIB, pool) != EM_NO_ERRORS ||
      Cluster::create(MIB, cluster) != EM_NO_ERRORS) {
    return state.SkipWithError("out of memory");
  }
  std::vector<std::string> words = vocabulary(50000, 1);
  std::mt19937 rng(2);
  uint32_t doc = 0;
  int64_t flushes = 0;
  for (auto _ : state) {
    const std::string& w = words[rng() % words.size()];
    if (pool->insert(asKey(w), 2 * (doc++ & 0x3FFFFFFF))) {
      MergePool::fill(*cluster);
      ++flushes;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["flushes"] = static_cast<double>(flushes);
}
BENCHMARK(BM_PoolInsertWords);

// Checksum and structure checks of a full 1 MiB cluster, as every read does.
void BM_ClusterValidate(benchmark::State& state) {
  std::unique_ptr<Cluster> written;
  std::unique_ptr<Cluster> read;
  ErrorCode error = Cluster::create(MIB, written);
  if (error == EM_NO_ERRORS) error = Cluster::create(MIB, read);
  if (error != EM_NO_ERRORS) return state.SkipWithError("out of memory");
  fillWithWords(*written, 3);
  written->seal();
  for (auto _ : state) {
    std::memcpy(read->bytesToOverwrite(), written->bytes(), MIB);
    ErrorCode validated = read->validate();
    benchmark::DoNotOptimize(validated);
    if (validated != EM_NO_ERRORS) error = validated;
  }
  if (error != EM_NO_ERRORS) state.SkipWithError("validation failed");
  state.SetBytesProcessed(state.iterations() * int64_t{MIB});
}
BENCHMARK(BM_ClusterValidate);

// The copy alone, to subtract from the figure above.
void BM_ClusterCopyOnly(benchmark::State& state) {
  std::unique_ptr<Cluster> written;
  std::unique_ptr<Cluster> read;
  if (Cluster::create(MIB, written) != EM_NO_ERRORS || Cluster::create(MIB, read) != EM_NO_ERRORS) {
    return state.SkipWithError("out of memory");
  }
  for (auto _ : state) {
    std::memcpy(read->bytesToOverwrite(), written->bytes(), MIB);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{MIB});
}
BENCHMARK(BM_ClusterCopyOnly);

// A chain of 64 clusters of `state.range(0)` bytes, each full of word keys.
constexpr uint64_t pow26(int d) { return d == 0 ? 1 : 26 * pow26(d - 1); }

struct ChainFixture {
  explicit ChainFixture(uint32_t clusterLength) {
    path = (std::filesystem::temp_directory_path() / "dovrel-index-bench.index").string();
    ErrorCode error = file.create(path, clusterLength);
    chain = std::make_unique<Chain>(&file, clusterLength);
    std::unique_ptr<Cluster> cluster;
    if (error == EM_NO_ERRORS) error = Cluster::create(clusterLength, cluster);
    if (error != EM_NO_ERRORS) return;
    // Eight-letter keys in increasing order, spread over the whole alphabet: the base-26
    // digits of a counter times a stride.
    const uint64_t stride = pow26(8) / (uint64_t{64} * clusterLength / 14);
    auto word = [stride](uint32_t n) {
      std::string k(1, 8);
      for (int d = 7; d >= 0; --d) {
        k.push_back(static_cast<char>('a' + n * stride / pow26(d) % 26));
      }
      return k;
    };
    uint32_t next = 0;
    for (int i = 0; i < 64; ++i) {
      cluster->clear();
      for (std::string w = word(next); cluster->freeBytes() >= w.size() + 1 + 4 + 4;
           w = word(next)) {
        cluster->addKey(asKey(w), KEY_MARKER | (2 * next));
        cluster->addValue(2 * next + 2);
        probes.push_back(std::move(w));
        ++next;
      }
      uint32_t number = 0;
      if (error == EM_NO_ERRORS) error = file.append(number);
      if (error == EM_NO_ERRORS)
        error = chain->append(number, cluster->firstKey(), cluster->lastKey());
      if (error == EM_NO_ERRORS) error = file.writeCluster(*cluster, number);
    }
    ok = error == EM_NO_ERRORS && chain->chainLength() == 64;
  }
  ~ChainFixture() {
    chain.reset();
    file.close();
    std::filesystem::remove(path);
  }
  std::string path;
  IndexFile file;
  std::unique_ptr<Chain> chain;
  std::vector<std::string> probes;
  bool ok = false;
};

// Finds a random stored key: almost every find loads another cluster from the file.
void BM_ChainFindLoading(benchmark::State& state) {
  ChainFixture f(static_cast<uint32_t>(state.range(0)));
  if (!f.ok) return state.SkipWithError("chain not built");
  std::mt19937 rng(5);
  ErrorCode error = EM_NO_ERRORS;
  SearchCode code = SEARCH_SMALLER;
  for (auto _ : state) {
    ErrorCode found = f.chain->find(asKey(f.probes[rng() % f.probes.size()]), code);
    benchmark::DoNotOptimize(code);
    if (found != EM_NO_ERRORS) error = found;
  }
  if (error != EM_NO_ERRORS) state.SkipWithError("find failed");
}
BENCHMARK(BM_ChainFindLoading)->Arg(64 * 1024)->Arg(MIB)->Unit(benchmark::kMicrosecond);

// Finds keys of the cluster already loaded: the binary search and the in-cluster scan.
void BM_ChainFindLoaded(benchmark::State& state) {
  ChainFixture f(static_cast<uint32_t>(state.range(0)));
  if (!f.ok) return state.SkipWithError("chain not built");
  std::mt19937 rng(6);
  const std::string& anchor = f.probes[f.probes.size() / 2];
  SearchCode code = SEARCH_SMALLER;
  ErrorCode error = f.chain->find(asKey(anchor), code);
  int32_t pos = f.chain->currentPos();
  std::vector<std::string> local;
  for (const std::string& p : f.probes) {
    if (keyCompare(asKey(p), f.chain->startKey(pos)) >= 0 &&
        keyCompare(asKey(p), f.chain->finKey(pos)) <= 0) {
      local.push_back(p);
    }
  }
  for (auto _ : state) {
    ErrorCode found = f.chain->find(asKey(local[rng() % local.size()]), code);
    benchmark::DoNotOptimize(code);
    if (found != EM_NO_ERRORS) error = found;
  }
  if (error != EM_NO_ERRORS) state.SkipWithError("find failed");
}
BENCHMARK(BM_ChainFindLoaded)->Arg(64 * 1024)->Arg(MIB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
