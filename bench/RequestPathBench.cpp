// The request path of the real server, one client connection in known-length mode: a cheap
// query (login, dispatch, a table's length; BM_TrivialRequest reports the median and the
// 90th percentile of its round trips), adding a document with a words and a whole
// index, reading a document back, searches of both indexes, and a commit (which waits for
// the next second when the journal archive of this second exists already). The server is
// build/bin/dovrel (or DOVREL_BIN_DIR/dovrel) on a free port in a scratch instance under /dev/shm
// or /tmp.
//   build/bench/requestpath_bench [--benchmark_filter=REGEX]
// DOVREL_BENCH_PAUSE=1 prints the server's process id and waits 10 s before measuring, so a
// profiler can attach.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "platform/Socket.h"
#include "principals/PasswordHash.h"

namespace {

using namespace dovrel;
namespace fs = std::filesystem;

const std::string LOGIN = "User: admin\r\nPassword: secret\r\n";

std::string counted(const std::string& bytes) {
  std::string text = "#";
  text += std::to_string(bytes.size());
  text += '#';
  text += bytes;
  text += '#';
  return text;
}

// A server in a scratch instance with one table `t`: a text field with a words index and an
// int64 field with a whole index.
class Server {
 public:
  Server() {
    const std::string parent = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/dovrel-reqbench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern + "/";
    fs::create_directory(directory_ + "DATA");
    fs::create_directory(directory_ + "LOGS");
    const char* binDir = std::getenv("DOVREL_BIN_DIR");
    const fs::path binary = fs::absolute(fs::path(binDir != nullptr ? binDir : "bin") / "dovrel");
    fs::create_symlink(binary, directory_ + "dovrel");
    std::ofstream(directory_ + "network_permissions.txt", std::ios::binary) << "127.0.0.1\r\n";
    const std::string salt = "5A17E2E0";
    std::ofstream(directory_ + "security.txt", std::ios::binary)
        << "security {\r\n   user admin alias #5#admin# kind admin account unlock password "
           "rounds 256 salt "
        << counted(salt) << " hash " << counted(hashPassword("secret", 256, salt))
        << " {\r\n   }\r\n}\r\n";
    platform::ListenSocket probe;
    if (!probe.open().ok() || !probe.bind(0).ok()) std::abort();
    port_ = probe.port();
    probe.close();
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(directory_.c_str()) != 0) ::_exit(126);
      const int out = ::open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      const std::string port = "-port:" + std::to_string(port_);
      ::execl((directory_ + "dovrel").c_str(), "dovrel", port.c_str(), nullptr);
      ::_exit(127);
    }
    for (int attempt = 0; attempt < 200 && connection_ == nullptr; ++attempt) {
      try {
        connection_ = std::make_unique<client::ClientConnection>("127.0.0.1", port_);
      } catch (...) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    if (connection_ == nullptr) std::abort();
    ask("create table t alias '' { field title alias '' : text { index w 'words'; }; "
        "field n alias '' : int64 { index n 'whole'; }; };");
    if (std::getenv("DOVREL_BENCH_PAUSE") != nullptr) {
      std::fprintf(stderr, "server pid %d\n", static_cast<int>(pid_));
      std::this_thread::sleep_for(std::chrono::seconds(10));
    }
  }
  ~Server() {
    connection_.reset();
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

  // The answer text; aborts on a lost connection or a refusal.
  std::string ask(const std::string& command) {
    client::Answer answer =
        connection_->request(LOGIN + command, client::RequestMode::KNOWN_LENGTH);
    if (!answer.text.starts_with("OK\r\n")) {
      std::fprintf(stderr, "refused: %s\n%s\n", command.substr(0, 200).c_str(),
                   answer.text.c_str());
      std::abort();
    }
    return answer.text;
  }

  // CPU time the server process has used so far (user and system), in microseconds.
  double cpuMicros() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(in, line);
    // The fields after the command name in parentheses; utime and stime are 14 and 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);
    }
    return ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  uint32_t documents = 0;
  bool committed = false;

 private:
  std::string directory_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::unique_ptr<client::ClientConnection> connection_;
};

Server& server() {
  static Server instance;
  return instance;
}

// Reports the server's CPU time per iteration beside the client's wall time: on a busy
// machine the wall time mostly measures the scheduler.
class ServerCpu {
 public:
  ServerCpu(benchmark::State& state, Server& server)
      : state_(state), server_(server), start_(server.cpuMicros()) {}
  ~ServerCpu() {
    state_.counters["server_cpu_us"] = benchmark::Counter((server_.cpuMicros() - start_) /
                                                          static_cast<double>(state_.iterations()));
  }

 private:
  benchmark::State& state_;
  Server& server_;
  double start_;
};

std::string document(std::mt19937& random) {
  std::string text = "document { field title = '";
  for (int w = 0; w < 60; ++w) text += "word" + std::to_string(random() % 5000) + " ";
  return text + "'; field n = '" + std::to_string(random() % 100000) + "'; }";
}

void BM_LoginAndLength(benchmark::State& state) {
  Server& s = server();
  ServerCpu cpu(state, s);
  for (auto _ : state) benchmark::DoNotOptimize(s.ask("get table t length;"));
}
BENCHMARK(BM_LoginAndLength)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The request floor: the same trivial request, each round trip timed on its own, so that the
// median (not the mean, which a few preempted round trips on a busy machine pull up) can be
// quoted beside the server's CPU per request.
void BM_TrivialRequest(benchmark::State& state) {
  Server& s = server();
  for (int i = 0; i < 100; ++i) s.ask("get table t length;");  // warm caches and the connection
  std::vector<double> micros;
  micros.reserve(1 << 20);
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(s.ask("get table t length;"));
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    micros.push_back(took.count());
  }
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
}
BENCHMARK(BM_TrivialRequest)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AddDocument(benchmark::State& state) {
  Server& s = server();
  std::mt19937 random(1);
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    state.PauseTiming();
    const std::string command = "add " + document(random) + " to table t;";
    state.ResumeTiming();
    s.ask(command);
    ++s.documents;
  }
}
BENCHMARK(BM_AddDocument)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_GetDocument(benchmark::State& state) {
  Server& s = server();
  std::mt19937 random(2);
  std::mt19937 fill(3);
  while (s.documents < 1000) {
    s.ask("add " + document(fill) + " to table t;");
    ++s.documents;
  }
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    s.ask("get document " + std::to_string(random() % s.documents) + " from table t;");
  }
}
BENCHMARK(BM_GetDocument)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Searches through the index files of 1000 committed documents: a word of the words index,
// and a number of the whole index.
void BM_SelectWord(benchmark::State& state) {
  Server& s = server();
  std::mt19937 fill(3);
  while (s.documents < 1000) {
    s.ask("add " + document(fill) + " to table t;");
    ++s.documents;
  }
  if (!s.committed) {
    s.ask("commit;");
    s.committed = true;
  }
  std::mt19937 random(5);
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    s.ask("select from t where t.title.w = 'word" + std::to_string(random() % 5000) + "';");
  }
}
BENCHMARK(BM_SelectWord)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SelectNumber(benchmark::State& state) {
  Server& s = server();
  std::mt19937 random(6);
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    s.ask("select from t where t.n.n = '" + std::to_string(random() % 100000) + "';");
  }
}
BENCHMARK(BM_SelectNumber)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AddAndCommit(benchmark::State& state) {
  Server& s = server();
  std::mt19937 random(4);
  ServerCpu cpu(state, s);
  for (auto _ : state) {
    s.ask("add " + document(random) + " to table t;");
    ++s.documents;
    s.ask("commit;");
  }
}
BENCHMARK(BM_AddAndCommit)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
