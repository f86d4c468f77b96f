// The load tool: ingests a generated corpus into dovrel (the real server, started in a
// temporary instance and driven through the client library) and, when built with it,
// into SQLite; then measures searches and document fetches on both and prints each figure
// with the ratio dovrel / SQLite. Not a Google Benchmark program and not a test:
//   build/bench/load_bench [--docs N] [--queries N] [--only dovrel|sqlite] [--dir DIR]
//                          [--bin DIR] [--optimize] [--durable] [--batch N]
// --docs: corpus size (100000); --queries: searches per kind (1000, 0 for none); --dir:
// where the temporary instance and database go (/tmp); --bin: where dovrel and secmigrate
// are (this build's bin/); --optimize: reorganise the indexes after the commit, before
// searching; --durable: the durable ingest, each batch committed on its own (dovrel: the
// adds in one request, then `commit;`; SQLite: one transaction with synchronous=FULL), timed
// from the first batch to the end of the last commit, with the distribution of one commit
// and the bytes written to disk per byte of document text; --batch: documents per batch
// (100, or 1000 with --durable). Single-threaded: one store at a time, one request at a time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "load/DovrelTarget.h"
#include "load/LoadCorpus.h"
#include "load/LoadTarget.h"
#include "platform/Process.h"
#ifdef DOVREL_LOAD_SQLITE
#include "load/SqliteTarget.h"
#endif

namespace {

using namespace dovrel::load;
using Clock = std::chrono::steady_clock;

struct Options {
  uint32_t documents = 100000;
  uint32_t queries = 1000;
  std::string only;  // "", "dovrel" or "sqlite"
  std::string directory = "/tmp";
  std::string binDir = DOVREL_LOAD_BIN_DIR;
  bool optimize = false;  // tune the indexes after the commit, before the searches
  bool durable = false;   // every batch committed on its own
  uint32_t batch = 0;     // documents per batch; 0: the mode's default
};

double percentileOf(std::vector<double> values, double p);

struct KindFigures {
  std::optional<std::string> refused;  // why the kind was skipped
  std::vector<double> latencies;       // seconds, one per query
  double seconds = 0;
  uint64_t returned = 0;
  uint64_t checksum = 0;

  double percentile(double p) const;
};

double KindFigures::percentile(double p) const { return percentileOf(latencies, p); }

struct Figures {
  std::string name;
  double ingestSeconds = 0;
  uint64_t textBytes = 0;
  double commitSeconds = 0;
  std::optional<double> optimizeSeconds;
  uint64_t diskBytes = 0;
  std::vector<double> batchCommits;  // seconds, one per batch, in durable mode
  uint64_t ingestBytesWritten = 0;   // sent to the disk from the first batch to the last commit
  KindFigures kinds[std::size(SEARCH_KINDS)];
};

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentileOf(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "%s\nusage: load_bench [--docs N] [--queries N] [--only dovrel|sqlite] "
               "[--dir DIR] [--bin DIR] [--optimize] [--durable] [--batch N]\n",
               message);
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--optimize" || option == "--durable") {
      (option == "--optimize" ? options.optimize : options.durable) = true;
      continue;
    }
    if (i + 1 >= argc) usage(("missing value after " + option).c_str());
    const std::string value = argv[++i];
    const auto number = [&](unsigned long least) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != 0 || n < least || n > 100000000)
        usage(("bad number " + value).c_str());
      return static_cast<uint32_t>(n);
    };
    if (option == "--docs") {
      options.documents = number(1);
    } else if (option == "--queries") {
      options.queries = number(0);
    } else if (option == "--batch") {
      options.batch = number(1);
    } else if (option == "--only") {
      if (value != "dovrel" && value != "sqlite") usage("--only takes dovrel or sqlite");
      options.only = value;
    } else if (option == "--dir") {
      options.directory = value;
    } else if (option == "--bin") {
      options.binDir = value;
    } else {
      usage(("unknown option " + option).c_str());
    }
  }
  if (options.batch == 0) options.batch = options.durable ? 1000 : 100;
  return options;
}

Figures run(LoadTarget& target, const Corpus& corpus, const Options& options) {
  Figures figures;
  figures.name = target.name();
  target.create(options.durable);
  std::fprintf(stderr, "%s: ingesting %u documents%s\n", figures.name.c_str(), options.documents,
               options.durable ? ", each batch committed" : "");
  const uint32_t size = options.batch;
  const uint64_t writtenBefore = target.bytesWritten();
  std::vector<CorpusDocument> batch;
  for (uint32_t first = 0; first < options.documents; first += size) {
    batch.clear();
    for (uint32_t n = first; n < std::min(first + size, options.documents); ++n) {
      batch.push_back(corpus.document(n));
      figures.textBytes += batch.back().textBytes();
    }
    target.prepareBatch(batch, first);
    const Clock::time_point start = Clock::now();
    target.storeBatch();
    if (options.durable) {
      const Clock::time_point commitStart = Clock::now();
      target.commitBatch();
      figures.batchCommits.push_back(since(commitStart));
    }
    figures.ingestSeconds += since(start);
    if ((first / size + 1) % (options.documents / size / 10 + 1) == 0) {
      std::fprintf(stderr, "  %u documents, %.1f s\n", first + size, figures.ingestSeconds);
    }
  }
  // In durable mode the last batch's commit made everything durable already.
  if (!options.durable) {
    const Clock::time_point commitStart = Clock::now();
    target.commit();
    figures.commitSeconds = since(commitStart);
  }
  figures.ingestBytesWritten = target.bytesWritten() - writtenBefore;
  if (options.optimize) {
    std::fprintf(stderr, "%s: optimizing\n", figures.name.c_str());
    const Clock::time_point optimizeStart = Clock::now();
    target.optimize();
    figures.optimizeSeconds = since(optimizeStart);
  }
  figures.diskBytes = target.diskBytes();

  for (SearchKind kind : SEARCH_KINDS) {
    if (options.queries == 0) break;
    KindFigures& k = figures.kinds[static_cast<int>(kind)];
    std::fprintf(stderr, "%s: %u %s searches\n", figures.name.c_str(), options.queries,
                 searchKindName(kind));
    try {
      for (uint32_t i = 0; i < options.queries; ++i) {
        const SearchQuery query = corpus.query(kind, i, options.documents);
        const Clock::time_point start = Clock::now();
        const SearchOutcome outcome = target.search(query);
        k.latencies.push_back(since(start));
        k.returned += outcome.returned;
        k.checksum += outcome.checksum;
      }
    } catch (const SearchRefused& refusal) {
      k.refused = refusal.what();
      std::fprintf(stderr, "  skipped: %s refuses it: %s\n", figures.name.c_str(), refusal.what());
      continue;
    }
    for (double latency : k.latencies) k.seconds += latency;
  }
  return figures;
}

// A figure of one store, or none where it has none.
using Value = std::function<std::optional<double>(const Figures&)>;

// A figure of search kind `i`; none where the store skipped the kind.
Value ofKind(int i, double (*figure)(const KindFigures&)) {
  return [i, figure](const Figures& figures) -> std::optional<double> {
    const KindFigures& k = figures.kinds[i];
    if (k.refused || k.latencies.empty()) return std::nullopt;
    return figure(k);
  };
}

// One row: the label, each store's figure and, with two figures, the ratio first / second.
void row(const char* label, const std::vector<Figures>& all, const Value& value,
         const char* format) {
  std::printf("  %-30s", label);
  std::vector<std::optional<double>> values;
  for (const Figures& figures : all) {
    values.push_back(value(figures));
    char text[32] = "-";
    if (values.back()) std::snprintf(text, sizeof text, format, *values.back());
    std::printf(" %14s", text);
  }
  if (values.size() == 2 && values[0] && values[1] && *values[1] > 0) {
    const double ratio = *values[0] / *values[1];
    std::printf(ratio >= 100 ? " %10.0f" : " %10.3g", ratio);
  }
  std::printf("\n");
}

void report(const std::vector<Figures>& all, const Options& options) {
  std::printf("\n%u documents in batches of %u%s, %u queries per search kind\n",
              options.documents, options.batch, options.durable ? ", each committed" : "",
              options.queries);
  std::printf("  %-30s", "");
  for (const Figures& figures : all) std::printf(" %14s", figures.name.c_str());
  if (all.size() == 2) std::printf(" %10s", "ratio");
  std::printf("\n");
  const double documents = options.documents;
  row(
      "ingest documents/s", all, [&](const Figures& f) { return documents / f.ingestSeconds; },
      "%.0f");
  row(
      "ingest MB/s (document text)", all,
      [](const Figures& f) { return f.textBytes / 1e6 / f.ingestSeconds; }, "%.2f");
  row(
      "ingest s", all, [](const Figures& f) { return f.ingestSeconds; }, "%.2f");
  if (options.durable) {
    const auto commits = [](double p) {
      return [p](const Figures& f) { return percentileOf(f.batchCommits, p) * 1e3; };
    };
    row("one commit median ms", all, commits(0.5), "%.1f");
    row("one commit p90 ms", all, commits(0.9), "%.1f");
    row("one commit max ms", all, commits(1.0), "%.1f");
  } else {
    row(
        "commit s", all, [](const Figures& f) { return f.commitSeconds; }, "%.3f");
  }
  row(
      "disk bytes written / text byte", all,
      [](const Figures& f) { return double(f.ingestBytesWritten) / f.textBytes; }, "%.2f");
  if (options.optimize) {
    row(
        "optimize s", all, [](const Figures& f) { return f.optimizeSeconds; }, "%.2f");
  }
  row(
      "disk MB before searching", all, [](const Figures& f) { return f.diskBytes / 1e6; }, "%.1f");
  for (SearchKind kind : SEARCH_KINDS) {
    if (options.queries == 0) break;
    const int i = static_cast<int>(kind);
    std::printf("%s: %s\n", searchKindName(kind), searchKindDescription(kind));
    const bool anyMeasured = std::any_of(all.begin(), all.end(), [i](const Figures& f) {
      return !f.kinds[i].refused && !f.kinds[i].latencies.empty();
    });
    if (!anyMeasured) {
      for (const Figures& f : all) {
        std::printf("  %s skipped it: %s\n", f.name.c_str(),
                    f.kinds[i].refused.value_or("").c_str());
      }
      continue;
    }
    row("median ms", all, ofKind(i, [](const KindFigures& k) { return k.percentile(0.5) * 1e3; }),
        "%.3f");
    row("99th percentile ms", all,
        ofKind(i, [](const KindFigures& k) { return k.percentile(0.99) * 1e3; }), "%.3f");
    row("queries/s", all,
        ofKind(i, [](const KindFigures& k) { return k.latencies.size() / k.seconds; }), "%.0f");
    row("documents returned per query", all,
        ofKind(i, [](const KindFigures& k) { return double(k.returned) / k.latencies.size(); }),
        "%.1f");
    for (const Figures& f : all) {
      if (f.kinds[i].refused) {
        std::printf("  %s skipped it: %s\n", f.name.c_str(), f.kinds[i].refused->c_str());
      }
    }
    if (all.size() == 2 && !all[0].kinds[i].refused && !all[1].kinds[i].refused) {
      const KindFigures& a = all[0].kinds[i];
      const KindFigures& b = all[1].kinds[i];
      // Ties in the sort key may put different documents among an ordered search's first rows.
      const bool same =
          a.returned == b.returned && (kind == SearchKind::ORDERED || a.checksum == b.checksum);
      std::printf("  results: %s\n", same ? "the same documents in both" : "DIFFER");
    }
  }
  if (all.size() == 2) {
    std::printf("ratio = %s / %s: above 1, %s takes longer (times) or does more (rates)\n",
                all[0].name.c_str(), all[1].name.c_str(), all[0].name.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  dovrel::platform::ignoreSigpipe();
  const Corpus corpus;
  std::vector<Figures> all;
  try {
    if (options.only != "sqlite") {
      DovrelTarget dovrel(options.binDir, options.directory);
      all.push_back(run(dovrel, corpus, options));
    }
    if (options.only != "dovrel") {
#ifdef DOVREL_LOAD_SQLITE
      SqliteTarget sqlite(options.directory);
      all.push_back(run(sqlite, corpus, options));
#else
      std::fprintf(stderr,
                   "built without SQLite (pkg-config found no sqlite3): its side is skipped\n");
#endif
    }
  } catch (const std::exception& error) {  // LoadError, or a file system failure
    std::fprintf(stderr, "load_bench: %s\n", error.what());
    return 1;
  }
  if (!all.empty()) report(all, options);
  return 0;
}
