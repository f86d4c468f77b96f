// Page-file and journal-file throughput through the POSIX Env: whole aligned 64 KiB pages
// (the storage engine's unit), unaligned pages through the bounce buffer, a page write with
// its fdatasync, and journal-sized appends with a flush each.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Env.h"

namespace {

using dovrel::platform::Env;
using dovrel::platform::OpenMode;
using dovrel::platform::PageFile;
using dovrel::platform::WritableFile;

constexpr std::size_t PAGE = 65536;
constexpr std::size_t PAGES = 256;  // a 16 MiB file

const char* directory() {
  const char* dir = std::getenv("DOVREL_BENCH_DIR");
  return dir != nullptr ? dir : "/tmp";
}

struct Fixture {
  explicit Fixture(const char* name) : path(std::string(directory()) + "/" + name) {
    buffer = static_cast<unsigned char*>(std::aligned_alloc(4096, 2 * PAGE));
    for (std::size_t i = 0; i < 2 * PAGE; ++i) buffer[i] = static_cast<unsigned char>(i * 7);
    if (!Env::posix().openPageFile(path, OpenMode::CREATE_ALWAYS, &file)) std::abort();
    std::size_t done = 0;
    for (std::size_t page = 0; page < PAGES; ++page) {
      if (!file->writeAt(page * PAGE, buffer, PAGE, &done)) std::abort();
    }
  }
  ~Fixture() {
    file.reset();
    (void)Env::posix().deleteFile(path);
    std::free(buffer);
  }
  std::string path;
  unsigned char* buffer;
  std::unique_ptr<PageFile> file;
};

void BM_PageWriteAligned(benchmark::State& state) {
  Fixture f("bench-aligned-write.table");
  std::size_t page = 0, done = 0;
  for (auto _ : state) {
    if (!f.file->writeAt(page * PAGE, f.buffer, PAGE, &done)) state.SkipWithError("write");
    page = (page + 1) % PAGES;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAGE));
}
BENCHMARK(BM_PageWriteAligned)->UseRealTime();

void BM_PageReadAligned(benchmark::State& state) {
  Fixture f("bench-aligned-read.table");
  std::size_t page = 0, done = 0;
  for (auto _ : state) {
    if (!f.file->readAt(page * PAGE, f.buffer, PAGE, &done)) state.SkipWithError("read");
    page = (page + 1) % PAGES;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAGE));
}
BENCHMARK(BM_PageReadAligned)->UseRealTime();

// 64 KiB at an offset 100 bytes past a page start, from an odd address: read-modify-write of
// the partial blocks through the bounce buffer.
void BM_PageWriteUnaligned(benchmark::State& state) {
  Fixture f("bench-unaligned-write.table");
  std::size_t page = 0, done = 0;
  for (auto _ : state) {
    if (!f.file->writeAt(page * PAGE + 100, f.buffer + 1, PAGE, &done)) {
      state.SkipWithError("write");
    }
    page = (page + 1) % (PAGES - 1);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAGE));
}
BENCHMARK(BM_PageWriteUnaligned)->UseRealTime();

void BM_PageWriteAndSync(benchmark::State& state) {
  Fixture f("bench-sync.table");
  std::size_t page = 0, done = 0;
  for (auto _ : state) {
    if (!f.file->writeAt(page * PAGE, f.buffer, PAGE, &done) || !f.file->sync()) {
      state.SkipWithError("write or sync");
    }
    page = (page + 1) % PAGES;
  }
}
BENCHMARK(BM_PageWriteAndSync)->Iterations(200)->UseRealTime();

// One journal record of 1 KiB appended and flushed, as before each query.
void BM_JournalAppendFlush(benchmark::State& state) {
  const std::string path = std::string(directory()) + "/bench-current.log";
  std::unique_ptr<WritableFile> file;
  if (!Env::posix().openWritableFile(path, false, &file)) std::abort();
  const std::string record(1024, 'q');
  int64_t written = 0;
  for (auto _ : state) {
    if (!file->append(record.data(), record.size()) || !file->flush()) {
      state.SkipWithError("append");
    }
    written += static_cast<int64_t>(record.size());
    if (written > (int64_t{64} << 20)) {  // keep the file small
      state.PauseTiming();
      file.reset();
      if (!Env::posix().openWritableFile(path, false, &file)) std::abort();
      written = 0;
      state.ResumeTiming();
    }
  }
  file.reset();
  (void)Env::posix().deleteFile(path);
}
BENCHMARK(BM_JournalAppendFlush)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
