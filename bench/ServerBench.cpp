// Round trips of a trivial request over loopback against an in-process server whose
// executor answers at once: the cost of the protocol, the two connection threads and the
// parser semaphore, without any query work. Threads(N) runs N clients at once, each on its
// own connection.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "client/ClientConnection.h"
#include "foundation/Console.h"
#include "server/Server.h"

namespace {

using namespace dovrel;
using namespace dovrel::server;

class TrivialExecutor final : public QueryExecutor {
 public:
  QueryResult execute(TextView, TextBuffer& answer) override {
    answer.append("OK\r\n");
    return RESULT_DONE;
  }
};

// One server for the whole run; it lives until the process ends.
uint16_t serverPort() {
  static const uint16_t port = [] {
    setConsoleSink([](std::string_view) {});  // connection ends print a line each
    ServerFactories factories;
    factories.executor = [](const ServerPaths&, const ServerComponents&) {
      return std::make_shared<TrivialExecutor>();
    };
    auto* server = new Server(ServerPaths::fromProgramPath("dovrel"), ServerOptions{});
    if (!server->start(0, factories)) std::abort();
    std::thread([server] { server->acceptLoop(); }).detach();
    return server->port();
  }();
  return port;
}

const std::string QUERY = "User: bench\r\nPassword: \r\nget users;";

void BM_RoundTrip(benchmark::State& state) {
  client::ClientConnection connection("127.0.0.1", serverPort());
  // The first answer proves the connection has its threads: the admission throttle starts
  // at most 16 connections per second, and that wait is not what is measured here.
  connection.request(QUERY, client::RequestMode::KNOWN_LENGTH);
  for (auto _ : state) {
    const client::Answer answer = connection.request(QUERY, client::RequestMode::KNOWN_LENGTH);
    benchmark::DoNotOptimize(answer.text.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

// A quiet request costs a connection (and two threads) per query, so the admission
// throttle of 16 connections per second bounds it.
void BM_QuietRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    client::ClientConnection connection("127.0.0.1", serverPort());
    const client::Answer answer = connection.request(QUERY, client::RequestMode::QUIET);
    benchmark::DoNotOptimize(answer.text.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuietRoundTrip)->Threads(1)->Iterations(48)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
