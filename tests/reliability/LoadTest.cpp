// Load on the real server: 64 connections at once, each sending 500 mixed queries (adds,
// get document, get table, security reads, selects when the server offers them, a few
// commits, refusals), with hostile peers among them: garbage headers, wrong checksums,
// connections reset in the middle of a body, stalled requests and absurd declared lengths.
// Every well-framed request must get its answer (byte for byte where it is deterministic),
// the hostile ones must cost only their own connection, the server's thread count must come
// back to its baseline and its memory must stay bounded. DOVREL_LOAD_CONNECTIONS and
// DOVREL_LOAD_QUERIES shrink the run (for sanitizer builds).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "e2e/E2ETest.h"
#include "foundation/Crc32.h"
#include "platform/Socket.h"
#include "support/Files.h"

namespace dovrel::reliability {
namespace {

using e2e::ServerInstance;

int fromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";
const std::string GUEST = "User: guest\r\nPassword: guest\r\n";
constexpr int FIXED_DOCUMENTS = 8;

std::string frame(const std::string& body, bool rightChecksum = true) {
  char checksum[9];
  const uint32_t crc = crc32(body.data(), body.size()) ^ (rightChecksum ? 0u : 1u);
  std::snprintf(checksum, sizeof checksum, "%08X", static_cast<unsigned>(crc));
  return "Format: TORV5\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nChecksum: " + checksum + "\r\n\r\n" + body;
}

// A figure of /proc/PID/status ("Threads", "VmRSS", "VmHWM"; kB for the memory ones).
long procStatus(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// The process whose first argument is the instance's link to the program.
int serverPid(const std::string& program) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string argv0;
    std::getline(in, argv0, '\0');
    if (argv0 == program) return std::atoi(name.c_str());
  }
  return -1;
}

// The hostile peers. Each uses a connection of its own and is answered by nothing.
enum class Hostile { GARBAGE_HEADER, WRONG_CHECKSUM, RESET_MID_BODY, HUGE_LENGTH, STALLED };
constexpr int HOSTILE_KINDS = 5;

class LoadTest : public e2e::E2ETest {
 protected:
  std::string ask(const std::string& login, const std::string& command) {
    client::ClientConnection connection("127.0.0.1", instance_->port());
    return connection.request(login + command, client::RequestMode::KNOWN_LENGTH).text;
  }

  // The queries whose answers do not depend on the adds running meanwhile, with the
  // answers of the quiet server.
  void learnAnswers() {
    ASSERT_EQ(ask(ADMIN,
                  "create table t alias 'T' { field title alias 'T' : text"
                  " { index w 'words size=16'; }; field n alias 'N' : int64 null"
                  " { index y 'whole size=16'; }; };"),
              "OK\r\n");
    for (int i = 0; i < FIXED_DOCUMENTS; ++i) {
      ASSERT_EQ(ask(ADMIN, "add document { field title = 'fixed " + std::to_string(i) +
                               "'; field n = '" + std::to_string(i) + "'; } to table t;"),
                "OK\r\ndocument " + std::to_string(i) + "\r\n");
    }
    ASSERT_EQ(ask(ADMIN, "commit;"), "OK\r\n");
    std::vector<std::string> commands = {"get table t structure;", "get users;", "get table names;",
                                         "get table t privileges;"};
    for (int i = 0; i < FIXED_DOCUMENTS; ++i) {
      commands.push_back("get document " + std::to_string(i) + " from table t;");
    }
    for (const std::string& command : commands) fixed_.push_back({ADMIN + command, ""});
    // Refusals are answers too.
    fixed_.push_back({GUEST + "get document 1 from table t;", ""});
    fixed_.push_back({ADMIN + "get document 99999 from table t;", ""});
    fixed_.push_back({ADMIN + "frobnicate;", ""});
    fixed_.push_back({"User: admin\r\nPassword: wrong\r\nget users;", ""});
    const std::string select = ADMIN + "select from t where t.title.w = 'fixed';";
    const std::string selected = ask("", select);
    if (selected.rfind("OK\r\n", 0) == 0) {
      fixed_.push_back({select, ""});
      selects_ = true;
    }
    for (auto& [query, answer] : fixed_) {
      answer = ask("", query);
      ASSERT_FALSE(answer.empty()) << query;
    }
  }

  void hostile(Hostile kind, std::mt19937& random) {
    platform::Socket socket;
    if (!platform::connectTcp("127.0.0.1", instance_->port(), &socket).isOk()) {
      ++connectFailures_;
      return;
    }
    const std::string body = ADMIN + "add document { field title = 'never'; } to table t;";
    switch (kind) {
      case Hostile::GARBAGE_HEADER: {
        std::string garbage(40 + random() % 40, '\0');
        for (char& c : garbage) c = static_cast<char>(random());
        garbage += "\r\n\r\n\r\n\r\n";
        (void)socket.sendAll(garbage.data(), garbage.size());
        break;
      }
      case Hostile::WRONG_CHECKSUM: {
        // Large enough to make the server's body buffer grow well past its pooled sizes.
        std::string big = body + std::string(1 << 20, 'x');
        const std::string request = frame(big, false);
        (void)socket.sendAll(request.data(), request.size());
        break;
      }
      case Hostile::RESET_MID_BODY: {
        const std::string request = frame(body);
        (void)socket.sendAll(request.data(), request.size() - body.size() / 2);
        const linger reset{1, 0};
        ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket.close();
        return;
      }
      case Hostile::HUGE_LENGTH: {
        const std::string request =
            "Format: TORV5\r\nContent-Length: 4294967295\r\nChecksum: 0123ABCD\r\n\r\n" + body;
        (void)socket.sendAll(request.data(), request.size());
        break;
      }
      case Hostile::STALLED: {
        // Half a header, then silence until the end of the run.
        const std::string request = frame(body).substr(0, 30);
        (void)socket.sendAll(request.data(), request.size());
        std::lock_guard<std::mutex> lock(mutex_);
        stalled_.push_back(std::move(socket));
        return;
      }
    }
    // Nothing comes back: the server drops the request and, for all but the huge length,
    // the connection. The huge length waits for its body, which this peer ends by closing.
    if (kind != Hostile::HUGE_LENGTH) {
      char byte;
      (void)socket.setReceiveTimeout(10000);
      const long got = socket.recv(&byte, 1);
      if (got > 0) ++hostileAnswered_;
    }
  }

  void client(int index, int queries) {
    std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
    const int hostileAt = static_cast<int>(random() % static_cast<unsigned>(queries));
    try {
      client::ClientConnection connection("127.0.0.1", instance_->port());
      for (int q = 0; q < queries; ++q) {
        if (q == hostileAt) hostile(static_cast<Hostile>((index + 2) % HOSTILE_KINDS), random);
        const unsigned pick = random() % 100;
        if (index == 0 && q % 100 == 99) {
          expect(connection.request(ADMIN + "commit;", client::RequestMode::KNOWN_LENGTH).text,
                 "OK\r\n", "commit");
        } else if (pick < 35) {
          const std::string answer =
              connection
                  .request(ADMIN + "add document { field title = 'load " + std::to_string(index) +
                               " " + std::to_string(q) + "'; field n = '" + std::to_string(q) +
                               "'; } to table t;",
                           client::RequestMode::KNOWN_LENGTH)
                  .text;
          unsigned number = 0;
          if (std::sscanf(answer.c_str(), "OK\r\ndocument %u\r\n", &number) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++answered_;
            if (!added_.insert(number).second) ++wrongAnswers_;
          } else {
            expect(answer, "OK\r\ndocument N\r\n", "add");
          }
        } else if (pick < 45) {
          const std::string answer =
              connection.request(ADMIN + "get table t length;", client::RequestMode::KNOWN_LENGTH)
                  .text;
          unsigned live = 0, numbers = 0;
          if (std::sscanf(answer.c_str(), "OK\r\n%u\r\n%u\r\n", &live, &numbers) != 2 ||
              live != numbers || live < FIXED_DOCUMENTS) {
            expect(answer, "OK\r\nN\r\nN\r\n", "length");
          }
          ++answered_;
        } else {
          const auto& [query, answer] = fixed_[random() % fixed_.size()];
          expect(connection.request(query, client::RequestMode::KNOWN_LENGTH).text, answer, query);
        }
      }
      // The connection ends with a hostile act of its own.
      hostileOnConnection(connection, static_cast<Hostile>(index % HOSTILE_KINDS));
    } catch (const client::ClientError& error) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++lostConnections_;
      std::cout << "connection " << index << " lost: " << error.what() << "\n";
    }
  }

  void hostileOnConnection(client::ClientConnection& connection, Hostile kind) {
    platform::Socket& socket = connection.socket();
    const std::string body = ADMIN + "get users;";
    std::string bytes;
    switch (kind) {
      case Hostile::GARBAGE_HEADER:
        bytes = "Format: TORV6\r\nContent-Length: 5\r\nChecksum: 00000000\r\n\r\nhello";
        break;
      case Hostile::WRONG_CHECKSUM:
        bytes = frame(body, false);
        break;
      case Hostile::HUGE_LENGTH:
        bytes = "Format: TORV5\r\nContent-Length: 99999999999\r\nChecksum: 00000000\r\n\r\n";
        break;
      case Hostile::RESET_MID_BODY:
      case Hostile::STALLED:
        bytes = frame(body).substr(0, frame(body).size() - 3);
        break;
    }
    (void)socket.sendAll(bytes.data(), bytes.size());
    if (kind == Hostile::RESET_MID_BODY) {
      const linger reset{1, 0};
      ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      socket.close();
    } else if (kind == Hostile::STALLED) {
      std::lock_guard<std::mutex> lock(mutex_);
      stalled_.push_back(std::move(socket));
    }
  }

  void expect(const std::string& got, const std::string& wanted, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++answered_;
    if (got == wanted) return;
    if (++wrongAnswers_ <= 5) {
      std::cout << "wrong answer to " << what << ":\n" << got.substr(0, 300) << "\n";
    }
  }

  std::vector<std::pair<std::string, std::string>> fixed_;
  bool selects_ = false;
  std::mutex mutex_;
  std::set<unsigned> added_;
  std::vector<platform::Socket> stalled_;
  std::atomic<long> answered_{0};
  long wrongAnswers_ = 0;
  int lostConnections_ = 0;
  std::atomic<int> connectFailures_{0};
  std::atomic<int> hostileAnswered_{0};
};

TEST_F(LoadTest, EveryWellFramedRequestIsAnsweredAndTheServerReturnsToItsBaseline) {
  const int connections = fromEnvironment("DOVREL_LOAD_CONNECTIONS", 64);
  const int queries = fromEnvironment("DOVREL_LOAD_QUERIES", 500);
  // The mix's wrong passwords all come from one address: with the delays of failed logins
  // as in service they would make this a test of those delays (docs/RELIABILITY.md,
  // "Hostile peers"), so the server inherits the shortest ones.
  ::setenv("DOVREL_LOGIN_DELAY_MS", "1", 1);
  ::setenv("DOVREL_LOGIN_DELAY_MAX_MS", "1", 1);
  const bool serverStarted = instance_->start();
  ::unsetenv("DOVREL_LOGIN_DELAY_MS");
  ::unsetenv("DOVREL_LOGIN_DELAY_MAX_MS");
  ASSERT_TRUE(serverStarted);
  const int pid = serverPid(instance_->directory() + "dovrel");
  ASSERT_GT(pid, 0);
  learnAnswers();
  if (HasFatalFailure()) return;

  // The baseline: the accept loop alone, once the set-up connections have ended.
  auto threadsSettle = [&](long target) {
    for (int i = 0; i < 300; ++i) {
      if (procStatus(pid, "Threads") <= target) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  threadsSettle(1);
  const long baseThreads = procStatus(pid, "Threads");
  const long baseRss = procStatus(pid, "VmRSS");

  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < connections; ++i)
    clients.emplace_back([this, i, queries] { client(i, queries); });
  long busiestThreads = 0;
  for (auto& c : clients) {
    busiestThreads = std::max(busiestThreads, procStatus(pid, "Threads"));
    c.join();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // Stalled peers hold their connection (and its two threads): the server has no idle
  // timeout, a slow sender is only told "Receiving" every 5 s. Closing them frees both.
  const long threadsWithStalled = procStatus(pid, "Threads");
  const std::size_t stalled = stalled_.size();
  stalled_.clear();
  const bool settled = threadsSettle(baseThreads);
  const long endThreads = procStatus(pid, "Threads");
  const long endRss = procStatus(pid, "VmRSS");
  const long peakRss = procStatus(pid, "VmHWM");

  // Every acknowledged add is there, and nothing else was added.
  const std::string length = ask(ADMIN, "get table t length;");
  const std::size_t documents = FIXED_DOCUMENTS + added_.size();
  EXPECT_EQ(length,
            "OK\r\n" + std::to_string(documents) + "\r\n" + std::to_string(documents) + "\r\n");
  EXPECT_TRUE(added_.empty() ||
              (*added_.begin() >= FIXED_DOCUMENTS && *added_.rbegin() < documents));

  std::cout << "load: " << connections << " connections x " << queries << " queries, "
            << answered_.load() << " answered in " << seconds << " s ("
            << static_cast<long>(answered_.load() / seconds) << "/s), selects "
            << (selects_ ? "included" : "not offered") << ", adds " << added_.size()
            << ", stalled peers " << stalled << "\n"
            << "threads: baseline " << baseThreads << ", busiest seen " << busiestThreads
            << ", with stalled peers " << threadsWithStalled << ", after " << endThreads << "\n"
            << "memory: VmRSS before " << baseRss << " kB, after " << endRss << " kB, VmHWM "
            << peakRss << " kB\n";
  EXPECT_EQ(wrongAnswers_, 0);
  EXPECT_EQ(lostConnections_, 0);
  EXPECT_EQ(connectFailures_.load(), 0);
  EXPECT_EQ(hostileAnswered_.load(), 0) << "a hostile request was answered";
  EXPECT_TRUE(settled) << "threads left: " << endThreads << " against " << baseThreads;
  // Generous: every connection's buffers at once, plus the tables' caches. The address
  // sanitizer keeps freed memory in its quarantine (256 MiB) and adds its shadow memory.
#if defined(__SANITIZE_ADDRESS__)
  constexpr long KEPT_LIMIT_KB = 768 * 1024;
#else
  constexpr long KEPT_LIMIT_KB = 256 * 1024;
#endif
  EXPECT_LT(endRss - baseRss, KEPT_LIMIT_KB) << "memory kept after the load";
  EXPECT_LT(peakRss, 1024 * 1024);
  EXPECT_NE(instance_->console().find("Некорректный заголовок"), std::string::npos);
  // Sanitizer builds report into the server's standard error.
  const std::string reported = testsupport::readFile(instance_->directory() + "console-errors.txt");
  EXPECT_EQ(reported, "") << "the server reported on its standard error";
}

}  // namespace
}  // namespace dovrel::reliability
