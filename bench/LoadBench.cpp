// The load tool: ingests a generated corpus into dovrel (the real server, started in a
// temporary instance and driven through the client library) and, when built with it,
// into SQLite; then measures searches and document fetches on both and prints each figure
// with the ratio dovrel / SQLite. Not a Google Benchmark program and not a test:
//   build/bench/load_bench [--docs N] [--queries N] [--only dovrel|sqlite] [--dir DIR]
//                          [--bin DIR] [--optimize] [--durable] [--batch N] [--kinds K,K]
// --docs: corpus size (100000); --queries: searches per kind (1000, 0 for none); --dir:
// where the temporary instance and database go (/tmp); --bin: where dovrel and secmigrate
// are (this build's bin/); --optimize: reorganise the indexes after the commit, before
// searching; --durable: the durable ingest, each batch committed on its own (dovrel: the
// adds in one request, then `commit;`; SQLite: one transaction with synchronous=FULL), timed
// from the first batch to the end of the last commit, with the distribution of one commit
// and the bytes written to disk per byte of document text; --batch: documents per batch
// (100, or 1000 with --durable); --kinds: only these search kinds (names as in the report;
// the trivial request always runs, as the engine time is measured against it).
// Every select runs twice per query: in full, then in its count-only form (dovrel: the same
// select with `limit 0`, answering "0 of N"; SQLite: count(*) of the same condition). The
// engine time of a kind is dovrel's count-only median minus the trivial request's median,
// against SQLite's count(*) median. Single-threaded: one store at a time, one request at a
// time.
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
  bool optimize = false;               // tune the indexes after the commit, before the searches
  bool durable = false;                // every batch committed on its own
  uint32_t batch = 0;                  // documents per batch; 0: the mode's default
  bool kinds[SEARCH_KIND_COUNT] = {};  // the search kinds to run
};

double percentileOf(std::vector<double> values, double p);

struct KindFigures {
  std::optional<std::string> refused;  // why the kind was skipped
  std::vector<double> latencies;       // seconds, one per query
  double seconds = 0;
  uint64_t returned = 0;
  std::vector<uint64_t> answers;       // each answer's SearchOutcome::sequence
  std::vector<double> countLatencies;  // the count-only form, one per query
  std::vector<uint64_t> counts;        // each count-only answer's number found
  std::optional<double> cpuSeconds;    // the server's (stat), over the full searches
  std::optional<double> countCpuSeconds;
  std::optional<double> threadsCpuSeconds;  // the same from its threads' schedstat
  std::optional<double> countThreadsCpuSeconds;

  bool measured() const { return !refused && !latencies.empty(); }
  bool countMeasured() const { return !refused && !countLatencies.empty(); }
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
  std::vector<double> batchCommits;      // seconds, one per batch, in durable mode
  uint64_t ingestBytesWritten = 0;       // sent to the disk from the first batch to the last commit
  std::optional<ResidentMemory> memory;  // the server's, after the searches
  KindFigures kinds[SEARCH_KIND_COUNT];

  const KindFigures& of(SearchKind kind) const { return kinds[static_cast<int>(kind)]; }
  // The count-only median less the trivial request's (none measured: less nothing).
  std::optional<double> engineSeconds(SearchKind kind) const;
};

std::optional<double> Figures::engineSeconds(SearchKind kind) const {
  const KindFigures& k = of(kind);
  if (!k.countMeasured()) return std::nullopt;
  const KindFigures& trivial = of(SearchKind::TRIVIAL);
  return percentileOf(k.countLatencies, 0.5) - (trivial.measured() ? trivial.percentile(0.5) : 0.0);
}

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
               "[--dir DIR] [--bin DIR] [--optimize] [--durable] [--batch N] [--kinds K,K]\n"
               "kinds:",
               message);
  for (SearchKind kind : SEARCH_KINDS) std::fprintf(stderr, " %s", searchKindName(kind));
  std::fprintf(stderr, "\n");
  std::exit(2);
}

// Marks the kinds of a comma-separated list of names.
void selectKinds(const std::string& list, Options& options) {
  std::fill(std::begin(options.kinds), std::end(options.kinds), false);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, end - start);
    const auto it = std::find_if(std::begin(SEARCH_KINDS), std::end(SEARCH_KINDS),
                                 [&](SearchKind kind) { return name == searchKindName(kind); });
    if (it == std::end(SEARCH_KINDS)) usage(("unknown search kind '" + name + "'").c_str());
    options.kinds[static_cast<int>(*it)] = true;
    if (end == list.size()) break;
    start = end + 1;
  }
  options.kinds[static_cast<int>(SearchKind::TRIVIAL)] = true;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  std::fill(std::begin(options.kinds), std::end(options.kinds), true);
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
    } else if (option == "--kinds") {
      selectKinds(value, options);
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
    if (!options.kinds[static_cast<int>(kind)]) continue;
    KindFigures& k = figures.kinds[static_cast<int>(kind)];
    std::fprintf(stderr, "%s: %u %s searches%s\n", figures.name.c_str(), options.queries,
                 searchKindName(kind), hasCountForm(kind) ? ", then count only" : "");
    // The server's CPU over one pass of the kind's queries.
    const auto timedPass = [&](bool countOnly, std::vector<double>& latencies,
                               std::optional<double>& cpu, std::optional<double>& threadsCpu,
                               const auto& take) {
      const std::optional<double> cpuBefore = target.serverCpuSeconds();
      const std::optional<double> threadsBefore = target.serverThreadsCpuSeconds();
      for (uint32_t i = 0; i < options.queries; ++i) {
        SearchQuery query = corpus.query(kind, i, options.documents);
        query.countOnly = countOnly;
        const Clock::time_point start = Clock::now();
        const SearchOutcome outcome = target.search(query);
        latencies.push_back(since(start));
        take(outcome);
      }
      const std::optional<double> cpuAfter = target.serverCpuSeconds();
      const std::optional<double> threadsAfter = target.serverThreadsCpuSeconds();
      if (cpuBefore && cpuAfter) cpu = *cpuAfter - *cpuBefore;
      if (threadsBefore && threadsAfter) threadsCpu = *threadsAfter - *threadsBefore;
    };
    try {
      timedPass(false, k.latencies, k.cpuSeconds, k.threadsCpuSeconds,
                [&k](const SearchOutcome& outcome) {
                  k.returned += outcome.returned;
                  k.answers.push_back(outcome.sequence);
                });
      if (hasCountForm(kind)) {
        timedPass(true, k.countLatencies, k.countCpuSeconds, k.countThreadsCpuSeconds,
                  [&k](const SearchOutcome& outcome) { k.counts.push_back(outcome.found); });
      }
    } catch (const SearchRefused& refusal) {
      k.refused = refusal.what();
      std::fprintf(stderr, "  skipped: %s refuses it: %s\n", figures.name.c_str(), refusal.what());
      continue;
    }
    for (double latency : k.latencies) k.seconds += latency;
  }
  figures.memory = target.serverMemory();
  return figures;
}

// A figure of one store, or none where it has none.
using Value = std::function<std::optional<double>(const Figures&)>;

// A figure of search kind `i`; none where the store skipped the kind or has no figure.
Value ofKind(int i, std::optional<double> (*figure)(const KindFigures&)) {
  return [i, figure](const Figures& figures) -> std::optional<double> {
    const KindFigures& k = figures.kinds[i];
    if (!k.measured()) return std::nullopt;
    return figure(k);
  };
}

// The first query whose answers differ between the two stores, if any.
std::optional<std::size_t> firstDifference(const std::vector<uint64_t>& a,
                                           const std::vector<uint64_t>& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) return i;
  }
  if (a.size() != b.size()) return std::min(a.size(), b.size());
  return std::nullopt;
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

// One line per kind, for the notes: medians in ms of both stores, engine times and ratios.
void summary(const std::vector<Figures>& all, const Options& options) {
  const Figures& a = all[0];
  const Figures& b = all[1];
  std::printf(
      "\n| kind | %s median / p99 | %s median / p99 | %s count only | %s count(*) | "
      "%s engine | engine ratio | same | within | %s CPU/query |\n",
      a.name.c_str(), b.name.c_str(), a.name.c_str(), b.name.c_str(), a.name.c_str(),
      a.name.c_str());
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  const auto cell = [](std::optional<double> ms) {
    char text[32] = "-";
    if (ms) std::snprintf(text, sizeof text, "%.3f", *ms);
    return std::string(text);
  };
  const auto medianP99 = [&](const KindFigures& k) {
    if (!k.measured()) return std::string("-");
    return cell(k.percentile(0.5) * 1e3) + " / " + cell(k.percentile(0.99) * 1e3);
  };
  const auto countMedian = [&](const KindFigures& k) -> std::optional<double> {
    if (!k.countMeasured()) return std::nullopt;
    return percentileOf(k.countLatencies, 0.5) * 1e3;
  };
  const KindFigures& trivial = a.of(SearchKind::TRIVIAL);
  for (SearchKind kind : SEARCH_KINDS) {
    const int i = static_cast<int>(kind);
    if (!options.kinds[i]) continue;
    const KindFigures& ka = a.kinds[i];
    const KindFigures& kb = b.kinds[i];
    std::optional<double> engineA, engineB;
    if (hasCountForm(kind)) {
      if (const auto e = a.engineSeconds(kind)) engineA = *e * 1e3;
      if (const auto e = b.engineSeconds(kind)) engineB = *e * 1e3;
    }
    std::string ratio = "-", same = "-", within = "-";
    if (engineA && engineB && *engineB > 0) ratio = cell(*engineA / *engineB);
    if (ka.measured() && kb.measured()) {
      same = !firstDifference(ka.answers, kb.answers) && !firstDifference(ka.counts, kb.counts)
                 ? "yes"
                 : "NO";
      if (trivial.measured()) {
        within = ka.percentile(0.5) <= kb.percentile(0.5) + trivial.percentile(0.5) ? "yes" : "no";
      }
    }
    std::optional<double> cpu;
    if (ka.threadsCpuSeconds && !ka.latencies.empty()) {
      cpu = *ka.threadsCpuSeconds * 1e3 / static_cast<double>(ka.latencies.size());
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", searchKindName(kind),
                medianP99(ka).c_str(), medianP99(kb).c_str(), cell(countMedian(ka)).c_str(),
                cell(countMedian(kb)).c_str(), cell(engineA).c_str(), ratio.c_str(), same.c_str(),
                within.c_str(), cell(cpu).c_str());
  }
  std::printf(
      "engine = count-only median - the trivial request's median (%s); %s: count(*) "
      "median; within: end-to-end median <= %s's + one trivial round trip; CPU: the "
      "server's threads (schedstat), full answers; times in ms\n",
      a.name.c_str(), b.name.c_str(), b.name.c_str());
  if (a.memory) {
    std::printf("%s RSS after the searches %.1f MB, peak %.1f MB\n", a.name.c_str(),
                a.memory->now / 1e6, a.memory->peak / 1e6);
  }
}

void report(const std::vector<Figures>& all, const Options& options) {
  std::printf("\n%u documents in batches of %u%s, %u queries per search kind\n", options.documents,
              options.batch, options.durable ? ", each committed" : "", options.queries);
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
  if (options.queries > 0) {
    row(
        "server RSS MB after the searches", all,
        [](const Figures& f) -> std::optional<double> {
          if (!f.memory) return std::nullopt;
          return f.memory->now / 1e6;
        },
        "%.1f");
    row(
        "server peak RSS MB (VmHWM)", all,
        [](const Figures& f) -> std::optional<double> {
          if (!f.memory) return std::nullopt;
          return f.memory->peak / 1e6;
        },
        "%.1f");
  }
  const auto milliseconds = [](std::optional<double> seconds) -> std::optional<double> {
    if (!seconds) return std::nullopt;
    return *seconds * 1e3;
  };
  const auto cpuPerQuery = [](std::optional<double> seconds, std::size_t queries) {
    return seconds && queries > 0 ? std::optional<double>(*seconds * 1e3 / queries) : std::nullopt;
  };
  for (SearchKind kind : SEARCH_KINDS) {
    if (options.queries == 0) break;
    const int i = static_cast<int>(kind);
    if (!options.kinds[i]) continue;
    std::printf("%s: %s\n", searchKindName(kind), searchKindDescription(kind));
    const bool anyMeasured = std::any_of(all.begin(), all.end(),
                                         [i](const Figures& f) { return f.kinds[i].measured(); });
    if (!anyMeasured) {
      for (const Figures& f : all) {
        std::printf("  %s skipped it: %s\n", f.name.c_str(),
                    f.kinds[i].refused.value_or("").c_str());
      }
      continue;
    }
    row("median ms", all,
        ofKind(
            i,
            [](const KindFigures& k) -> std::optional<double> { return k.percentile(0.5) * 1e3; }),
        "%.3f");
    row("99th percentile ms", all,
        ofKind(
            i,
            [](const KindFigures& k) -> std::optional<double> { return k.percentile(0.99) * 1e3; }),
        "%.3f");
    row("queries/s", all,
        ofKind(i,
               [](const KindFigures& k) -> std::optional<double> {
                 return k.latencies.size() / k.seconds;
               }),
        "%.0f");
    row("documents returned per query", all,
        ofKind(i,
               [](const KindFigures& k) -> std::optional<double> {
                 return double(k.returned) / k.latencies.size();
               }),
        "%.1f");
    if (hasCountForm(kind)) {
      row("found per query (count only)", all,
          ofKind(i,
                 [](const KindFigures& k) -> std::optional<double> {
                   if (k.counts.empty()) return std::nullopt;
                   double sum = 0;
                   for (uint64_t count : k.counts) sum += static_cast<double>(count);
                   return sum / k.counts.size();
                 }),
          "%.1f");
      row("count-only median ms", all,
          ofKind(i,
                 [](const KindFigures& k) -> std::optional<double> {
                   if (k.countLatencies.empty()) return std::nullopt;
                   return percentileOf(k.countLatencies, 0.5) * 1e3;
                 }),
          "%.3f");
      row(
          "engine ms (count only - trivial)", all,
          [&](const Figures& f) { return milliseconds(f.engineSeconds(kind)); }, "%.3f");
    }
    // stat counts in clock ticks (10 ms as a rule): coarse over few queries. schedstat is
    // exact, for the threads still running at the end of the pass.
    row(
        "server CPU ms/query (stat)", all,
        [&](const Figures& f) {
          return cpuPerQuery(f.kinds[i].cpuSeconds, f.kinds[i].latencies.size());
        },
        "%.3f");
    row(
        "server CPU ms/query (schedstat)", all,
        [&](const Figures& f) {
          return cpuPerQuery(f.kinds[i].threadsCpuSeconds, f.kinds[i].latencies.size());
        },
        "%.4f");
    if (hasCountForm(kind)) {
      row(
          "  count only (stat)", all,
          [&](const Figures& f) {
            return cpuPerQuery(f.kinds[i].countCpuSeconds, f.kinds[i].countLatencies.size());
          },
          "%.3f");
      row(
          "  count only (schedstat)", all,
          [&](const Figures& f) {
            return cpuPerQuery(f.kinds[i].countThreadsCpuSeconds, f.kinds[i].countLatencies.size());
          },
          "%.4f");
    }
    for (const Figures& f : all) {
      if (f.kinds[i].refused) {
        std::printf("  %s skipped it: %s\n", f.name.c_str(), f.kinds[i].refused->c_str());
      }
    }
    if (all.size() == 2 && all[0].kinds[i].measured() && all[1].kinds[i].measured()) {
      const KindFigures& a = all[0].kinds[i];
      const KindFigures& b = all[1].kinds[i];
      // Every answer is compared number by number in order: without an order clause both
      // stores answer in ascending document number, with one in key order, ties included.
      const std::optional<std::size_t> answers = firstDifference(a.answers, b.answers);
      if (!answers) {
        std::printf("  results: the same documents in both%s\n",
                    isOrdered(kind) ? ", in the same order" : "");
      } else {
        std::printf("  results: DIFFER (first at query %zu)\n", *answers);
      }
      if (hasCountForm(kind)) {
        const std::optional<std::size_t> counts = firstDifference(a.counts, b.counts);
        if (!counts) {
          std::printf("  counts: the same in both\n");
        } else {
          std::printf("  counts: DIFFER (first at query %zu: %llu against %llu)\n", *counts,
                      *counts < a.counts.size() ? (unsigned long long)a.counts[*counts] : 0ULL,
                      *counts < b.counts.size() ? (unsigned long long)b.counts[*counts] : 0ULL);
        }
      }
      const KindFigures& trivial = all[0].of(SearchKind::TRIVIAL);
      if (trivial.measured()) {
        const double mine = a.percentile(0.5) * 1e3;
        const double bound = b.percentile(0.5) * 1e3 + trivial.percentile(0.5) * 1e3;
        std::printf("  end to end within %s + one trivial round trip: %s (%.3f against %.3f ms)\n",
                    all[1].name.c_str(), mine <= bound ? "yes" : "no", mine, bound);
      }
    }
  }
  if (all.size() == 2 && options.queries > 0) summary(all, options);
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
