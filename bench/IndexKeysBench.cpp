// Document keys built per second for each index kind over generated prose of about 2 KB a
// document (code page 1251 words of Zipf-like frequency, punctuation, some numbers), and the
// value keys of the typed fields.
//   build/bench/indexkeys_bench [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "keys/IndexKeyBuilder.h"
#include "keys/IndexKind.h"

namespace {

using namespace dovrel;
using namespace dovrel::index;

constexpr std::size_t DOCUMENT_BYTES = 2048;
constexpr int DOCUMENTS = 64;

// A vocabulary of mostly Cyrillic words of 2 to 12 letters (some capitalised) and a few
// Latin ones, drawn with frequencies falling as 1/rank like real text.
std::vector<std::string> prose(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 5000; ++i) {
    std::uniform_int_distribution<int> length(2, 12);
    std::string w;
    int n = length(rng);
    bool latin = rng() % 10 == 0;
    for (int j = 0; j < n; ++j) {
      w += latin ? static_cast<char>('a' + rng() % 26) : static_cast<char>(0xE0 + rng() % 32);
    }
    if (!latin && rng() % 8 == 0) w[0] = static_cast<char>(static_cast<unsigned char>(w[0]) - 0x20);
    words.push_back(w);
  }
  std::vector<double> weights;
  for (std::size_t r = 1; r <= words.size(); ++r) weights.push_back(1.0 / r);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  const char* separators[] = {" ", " ", " ", " ", ", ", ". ", " - ", "; ", "\r\n"};
  std::vector<std::string> documents;
  for (int d = 0; d < DOCUMENTS; ++d) {
    std::string text;
    while (text.size() < DOCUMENT_BYTES) {
      text += rng() % 40 == 0 ? std::to_string(rng() % 100000) : words[pick(rng)];
      text += separators[rng() % std::size(separators)];
    }
    documents.push_back(text);
  }
  return documents;
}

const std::vector<std::string>& documents() {
  static const std::vector<std::string> texts = prose(7);
  return texts;
}

// Adds the length of every key so the keys cannot be optimised away.
class CountingSink final : public KeySink {
 public:
  void addKey(Key key) override {
    ++keys;
    bytes += key[0];
  }
  uint64_t keys = 0;
  uint64_t bytes = 0;
};

void BM_DocumentKeys(benchmark::State& state, const char* kind) {
  const IndexKind spec = IndexKind::parse(kind, "bench.text.i");
  IndexKeyBuilder builder;
  CountingSink sink;
  std::size_t next = 0;
  uint64_t textBytes = 0;
  for (auto _ : state) {
    const std::string& text = documents()[next++ % DOCUMENTS];
    builder.documentKeys(spec, FieldType::TEXT, text, sink);
    textBytes += text.size();
  }
  benchmark::DoNotOptimize(sink.bytes);
  state.SetItemsProcessed(static_cast<int64_t>(sink.keys));  // keys per second
  state.SetBytesProcessed(static_cast<int64_t>(textBytes));
  state.counters["keys/doc"] = static_cast<double>(sink.keys) / state.iterations();
}

BENCHMARK_CAPTURE(BM_DocumentKeys, whole, "whole");
BENCHMARK_CAPTURE(BM_DocumentKeys, whole_alphanum, "whole-alphanum");
BENCHMARK_CAPTURE(BM_DocumentKeys, words, "words");
BENCHMARK_CAPTURE(BM_DocumentKeys, words_prefix, "words-prefix");
BENCHMARK_CAPTURE(BM_DocumentKeys, words_suffix, "words-suffix");
BENCHMARK_CAPTURE(BM_DocumentKeys, words_substr, "words-substr");
BENCHMARK_CAPTURE(BM_DocumentKeys, words_near0, "words-near0");
BENCHMARK_CAPTURE(BM_DocumentKeys, words_near9, "words-near9");

void BM_ValueKeys(benchmark::State& state, FieldType type) {
  std::mt19937 rng(3);
  std::vector<std::string> values;
  for (int i = 0; i < 1024; ++i) {
    switch (type) {
      case FieldType::INT64:
        values.push_back(std::to_string(static_cast<int64_t>(rng()) * 7919));
        break;
      case FieldType::DOUBLE:
        values.push_back(std::to_string(rng() % 100000) + "." + std::to_string(rng() % 1000) +
                         "e-3");
        break;
      default:
        values.push_back("17.03.2009 12:30:45");
        break;
    }
  }
  const IndexKind spec(BaseKind::WHOLE);
  IndexKeyBuilder builder;
  CountingSink sink;
  std::size_t next = 0;
  for (auto _ : state) builder.documentKeys(spec, type, values[next++ % values.size()], sink);
  benchmark::DoNotOptimize(sink.bytes);
  state.SetItemsProcessed(static_cast<int64_t>(sink.keys));
}

BENCHMARK_CAPTURE(BM_ValueKeys, int64, FieldType::INT64);
BENCHMARK_CAPTURE(BM_ValueKeys, double, FieldType::DOUBLE);
BENCHMARK_CAPTURE(BM_ValueKeys, datetime, FieldType::DATETIME);

}  // namespace

BENCHMARK_MAIN();
