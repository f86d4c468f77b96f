// Benchmarks of the documents file on the disk under /tmp: append-and-commit throughput,
// random record reads in a 1 GiB file, point reads of small records at 250 000 and
// 1 000 000 documents with direct I/O or the page cache and with or without the branch
// cache, and commit latency with few and many changed branches. Files are made in a fresh
// directory and deleted at the end.
// Run: build/bench/storage_bench [--benchmark_filter=REGEX]; set DOVREL_BENCH_DIR to use
// another parent directory, DOVREL_BENCH_DIRECT=1 to run the other benchmarks with direct
// I/O instead of the page cache.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "storage/DocumentsFile.h"

namespace {

using dovrel::DF_DONE;
using dovrel::DocumentsFile;
using dovrel::OpenMode;
namespace platform = dovrel::platform;
namespace format = dovrel::documents_format;

std::string& benchDir() {
  static std::string dir;
  return dir;
}

platform::PageCaching defaultCaching() {
  const char* direct = std::getenv("DOVREL_BENCH_DIRECT");
  return direct != nullptr && std::string(direct) == "1" ? platform::PageCaching::DIRECT
                                                         : platform::PageCaching::SYSTEM_CACHE;
}

void check(bool ok, const char* what, benchmark::State& state) {
  if (!ok) state.SkipWithError(what);
}

std::string record(uint32_t length, uint32_t seed) {
  std::string r(length, '\0');
  for (uint32_t i = 0; i < length; ++i) r[i] = static_cast<char>(seed * 131 + i);
  return r;
}

// Appends batches of records and commits after each batch: the sustained write path.
void BM_AppendAndCommit(benchmark::State& state) {
  const uint32_t length = static_cast<uint32_t>(state.range(0));
  const uint32_t perCommit = static_cast<uint32_t>(state.range(1));
  const std::string path = benchDir() + "/append.table";
  std::shared_ptr<DocumentsFile> f;
  check(DocumentsFile::create(path, &f) == DF_DONE, "create", state);
  const std::string r = record(length, 1);
  for (auto _ : state) {
    for (uint32_t i = 0; i < perCommit; ++i) {
      uint32_t number;
      if (f->addDocument(r.data(), length, &number) != DF_DONE) state.SkipWithError("add");
    }
    if (f->commitPrepare() != DF_DONE || f->commitFinish() != DF_DONE) {
      state.SkipWithError("commit");
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * perCommit * length);
  state.SetItemsProcessed(int64_t(state.iterations()) * perCommit);
  f.reset();
  std::filesystem::remove(path);
}
BENCHMARK(BM_AppendAndCommit)
    ->Args({1024, 1000})
    ->Args({16384, 1000})
    ->Iterations(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1 GiB file of 16 KiB records (65536 documents in 4 branches), made once.
const std::string& bigFile() {
  static std::string path;
  if (path.empty()) {
    path = benchDir() + "/big.table";
    std::shared_ptr<DocumentsFile> f;
    if (DocumentsFile::create(path, &f) != DF_DONE) std::abort();
    for (uint32_t n = 0; n < 65536; ++n) {
      const std::string r = record(16384, n);
      uint32_t number;
      if (f->addDocument(r.data(), 16384, &number) != DF_DONE) std::abort();
    }
    if (f->commitPrepare() != DF_DONE || f->commitFinish() != DF_DONE) std::abort();
  }
  return path;
}

// Reads random records. range(0) = 0: anywhere in the file, so most reads load another
// branch first; 1: within one branch, the record transfer alone.
void BM_RandomRead(benchmark::State& state) {
  std::shared_ptr<DocumentsFile> f;
  check(DocumentsFile::open(bigFile(), OpenMode::openNormal, &f) == DF_DONE, "open", state);
  const uint32_t span = state.range(0) == 0 ? 65536 : format::DOCUMENTS_PER_BRANCH;
  std::mt19937 rng(7);
  std::vector<char> buffer(16384);
  for (auto _ : state) {
    const uint32_t n = rng() % span;
    if (f->readDocument(n, buffer.data(), 16384) != DF_DONE) state.SkipWithError("read");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RandomRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Files of `documents` records of 800 bytes (the size of a typical document text), made
// once per count through the page cache.
const std::string& pointFile(uint32_t documents) {
  static std::string paths[2];
  std::string& path = paths[documents > 250000 ? 1 : 0];
  if (path.empty()) {
    path = benchDir() + "/point" + std::to_string(documents) + ".table";
    std::shared_ptr<DocumentsFile> f;
    if (DocumentsFile::create(path, &f) != DF_DONE) std::abort();
    for (uint32_t n = 0; n < documents; ++n) {
      const std::string r = record(800, n);
      uint32_t number;
      if (f->addDocument(r.data(), 800, &number) != DF_DONE) std::abort();
    }
    if (f->commitPrepare() != DF_DONE || f->commitFinish() != DF_DONE) std::abort();
  }
  return path;
}

// The point read of `get document`: the deleted flag, the length and the record of a random
// document. range(0): documents; range(1): 0 direct I/O, 1 direct I/O and the branch cache,
// 2 the page cache, 3 the page cache and the branch cache (the default). Each run starts
// with every branch unloaded, and the first pass over the branches is part of the time.
void BM_PointRead(benchmark::State& state) {
  const uint32_t documents = static_cast<uint32_t>(state.range(0));
  const int setting = static_cast<int>(state.range(1));
  const std::string& path = pointFile(documents);
  const uint64_t savedBudget = DocumentsFile::branchCacheBudget();
  platform::setPageCaching(setting < 2 ? platform::PageCaching::DIRECT
                                       : platform::PageCaching::SYSTEM_CACHE);
  DocumentsFile::setBranchCacheBudget(setting % 2 == 1 ? savedBudget : 0);
  std::shared_ptr<DocumentsFile> f;
  check(DocumentsFile::open(path, OpenMode::openNormal, &f) == DF_DONE, "open", state);
  std::mt19937 rng(11);
  std::vector<char> buffer(800);
  for (auto _ : state) {
    const uint32_t n = rng() % documents;
    bool deleted = true;
    uint32_t length = 0;
    if (f->isDeleted(n, &deleted) != DF_DONE || f->getLength(n, &length) != DF_DONE ||
        f->readDocument(n, buffer.data(), 800) != DF_DONE) {
      state.SkipWithError("read");
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
  f.reset();
  platform::setPageCaching(defaultCaching());
  DocumentsFile::setBranchCacheBudget(savedBudget);
}
BENCHMARK(BM_PointRead)
    ->ArgsProduct({{250000, 1000000}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);

// Commit with `branches` changed branches, one changed document in each. range(1) = 0:
// only the commit is timed; 1: the changes (branch switches) and the commit.
void BM_Commit(benchmark::State& state) {
  const uint32_t branches = static_cast<uint32_t>(state.range(0));
  const bool timeChanges = state.range(1) != 0;
  const std::string path = benchDir() + "/commit.table";
  std::shared_ptr<DocumentsFile> f;
  check(DocumentsFile::create(path, &f) == DF_DONE, "create", state);
  uint32_t number = 0;
  for (uint32_t n = 0; n < branches * format::DOCUMENTS_PER_BRANCH; ++n) {
    if (f->addDocument(nullptr, 0, &number) != DF_DONE) state.SkipWithError("add");
  }
  if (f->commitPrepare() != DF_DONE || f->commitFinish() != DF_DONE) state.SkipWithError("commit");
  const std::string r = record(100, 3);
  uint32_t round = 0;
  for (auto _ : state) {
    if (!timeChanges) state.PauseTiming();
    for (uint32_t b = 0; b < branches; ++b) {
      const uint32_t n = b * format::DOCUMENTS_PER_BRANCH + round % format::DOCUMENTS_PER_BRANCH;
      if (f->replaceDocument(n, r.data(), 100) != DF_DONE) state.SkipWithError("replace");
    }
    ++round;
    if (!timeChanges) state.ResumeTiming();
    if (f->commitPrepare() != DF_DONE || f->commitFinish() != DF_DONE) {
      state.SkipWithError("commit");
    }
  }
  f.reset();
  std::filesystem::remove(path);
}
BENCHMARK(BM_Commit)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Commit)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* parent = std::getenv("DOVREL_BENCH_DIR");
  std::string pattern = std::string(parent != nullptr ? parent : "/tmp") + "/dovrel-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  benchDir() = pattern;
  platform::setPageCaching(defaultCaching());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(benchDir());
  return 0;
}
