// The query journal and the network permissions on their hot paths: appending one record
// (written and flushed to the system before its query runs) on tmpfs and on the disk, and
// the accept loop's permission check over lists of growing length.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/Console.h"
#include "permissions/NetworkPermissions.h"
#include "server/Logger.h"

namespace {

using namespace dovrel;
using namespace dovrel::server;
using namespace dovrel::permissions;

class NoExecutor final : public QueryExecutor {
 public:
  QueryResult execute(TextView, TextBuffer&) override { return RESULT_DONE; }
};

std::string tempDir(const char* parent) {
  std::string pattern = std::string(parent) + "/dovrel-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Arg 0: record bytes; arg 1: 0 for /dev/shm, 1 for the build directory's disk.
void BM_JournalAppend(benchmark::State& state) {
  const std::string dir = tempDir(state.range(1) == 0 ? "/dev/shm" : ".");
  NoExecutor executor;
  {
    Logger logger(dir + "/", executor);
    const std::string body(static_cast<std::size_t>(state.range(0)), 'q');
    for (auto _ : state) logger.append(TextView(body));
    state.SetBytesProcessed(state.iterations() * (state.range(0) + 4));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_JournalAppend)->Args({100, 0})->Args({4096, 0})->Args({100, 1})->Args({4096, 1});

// Arg: number of single-address rules; the checked peer matches none (the whole list is
// walked) and no MAC rule is present (no ARP look-up).
void BM_PermissionCheck(benchmark::State& state) {
  const std::string dir = tempDir("/dev/shm");
  const std::string path = dir + "/network_permissions.txt";
  {
    std::ofstream out(path, std::ios::binary);
    for (int64_t i = 0; i < state.range(0); ++i) {
      out << "10.0." << i / 256 << "." << i % 256 << "\r\n";
    }
  }
  NetworkPermissions permissions(path, dir + "/arp");
  const uint32_t peer = 192u << 24 | 168u << 16 | 1;
  for (auto _ : state) benchmark::DoNotOptimize(permissions.isAllowed(peer));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PermissionCheck)->Arg(1)->Arg(16)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
