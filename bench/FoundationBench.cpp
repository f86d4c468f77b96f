// Benchmarks of the foundation hot paths: CRC-32 over request- and cluster-sized buffers
// (every routine, the bytewise reference and, when built with it, zlib's crc32) and the
// scanner over a long generated query.
//   build/bench/foundation_bench
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Crc32.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#ifdef DOVREL_BENCH_ZLIB
#include <zlib.h>
#endif

using namespace dovrel;

namespace {

std::vector<unsigned char> randomBytes(std::size_t n) {
  std::mt19937 rng(42);
  std::vector<unsigned char> data(n);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  return data;
}

void BM_Crc32Bytewise(benchmark::State& state) {
  auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32UpdateBytewise(0xFFFFFFFFu, data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Bytewise)->Arg(1 << 20);

// Each routine crc32Update may choose (Crc32Routine as the first argument), skipped where
// the CPU lacks it; the second argument is the buffer size.
void BM_Crc32Routine(benchmark::State& state) {
  const auto routine = static_cast<Crc32Routine>(state.range(0));
  if (!crc32RoutineAvailable(routine)) {
    state.SkipWithError("not on this CPU");
    return;
  }
  state.SetLabel(crc32RoutineName(routine));
  auto data = randomBytes(static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32UpdateWith(routine, 0xFFFFFFFFu, data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}
BENCHMARK(BM_Crc32Routine)
    ->ArgsProduct({{static_cast<int>(Crc32Routine::TABLE), static_cast<int>(Crc32Routine::CLMUL),
                    static_cast<int>(Crc32Routine::VCLMUL)},
                   {64, 4096, 1 << 16, 1 << 20}});

#ifdef DOVREL_BENCH_ZLIB
// zlib's crc32() on the same buffers: the peer the routines are measured against.
void BM_Crc32Zlib(benchmark::State& state) {
  auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(::crc32(0, data.data(), static_cast<uInt>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Zlib)->Arg(64)->Arg(4096)->Arg(1 << 16)->Arg(1 << 20);
#endif

// A query text of about `bytes` bytes mixing every token class: names, numbers, counted
// and quoted strings, comparison and punctuation tokens, across CR LF lines.
std::string generatedQuery(std::size_t bytes, std::size_t& tokens) {
  std::mt19937 rng(7);
  TextBuffer text;
  tokens = 0;
  const char* names[] = {"select", "from", "documents", "where", "title", "and", "author_id"};
  const char* punct[] = {"(", ")", "=", "<=", ">=", "<>", "<", ">", ",", ";", ".", "{", "}"};
  while (text.length() < bytes) {
    switch (rng() % 6) {
      case 0:
      case 1:
        text.append(names[rng() % 7]);
        break;
      case 2:
        text.appendDecimal(rng());
        break;
      case 3: {
        std::string content(rng() % 40, 'x');
        text.appendCounted(std::string_view(content));
        break;
      }
      case 4:
        text.append("'some quoted words'");
        break;
      default:
        text.append(punct[rng() % 13]);
        break;
    }
    ++tokens;
    text.append(rng() % 8 == 0 ? "\r\n   " : " ");
  }
  return text.toString();
}

void BM_ScannerTokens(benchmark::State& state) {
  std::size_t tokens = 0;
  std::string query = generatedQuery(static_cast<std::size_t>(state.range(0)), tokens);
  for (auto _ : state) {
    Scanner s{TextView(query)};
    std::size_t seen = 0;
    for (s.next(); s.kind() != TOKEN_END; s.next()) ++seen;
    if (seen != tokens) state.SkipWithError("token count differs from the generator's");
    benchmark::DoNotOptimize(seen);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * tokens));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * query.size()));
}
BENCHMARK(BM_ScannerTokens)->Arg(4 << 20);

}  // namespace

BENCHMARK_MAIN();
