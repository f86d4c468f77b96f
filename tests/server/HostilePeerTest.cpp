// Peers that misbehave on purpose against an in-process server with small limits: bodies
// past the maximum, uploads beyond the shared budget, headers and bodies that stall, more
// connections than the cap, failed logins, and a crowd of idle, slow and resetting peers
// while an honest client is served.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <vector>

#include "TestComponents.h"
#include "TestServer.h"
#include "client/ClientConnection.h"
#include "server/ServerCore.h"

namespace dovrel::server::testing {
namespace {

using client::ClientConnection;
using client::frameRequest;
using client::RequestMode;

constexpr uint64_t MAX_BODY = 200000;
constexpr uint64_t BUDGET = 150000;  // one body of MAX_BODY fits beside its own 64 KiB
constexpr uint32_t HEADER_DEADLINE_MS = 300;
constexpr uint32_t BODY_DEADLINE_MS = 400;

void resetConnection(platform::Socket& socket) {
  const linger abort{1, 0};
  ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  socket.close();
}

// Time moves as fast as the throttle sleeps, so admission never holds a test up.
class InstantClock final : public TickClock {
 public:
  uint64_t tickMs() override { return now.load(); }
  void sleepMs(uint32_t milliseconds) override { now.fetch_add(milliseconds); }
  std::atomic<uint64_t> now{1000};
};

std::size_t openDescriptors() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dir != nullptr && ::readdir(dir) != nullptr) ++count;
  if (dir != nullptr) ::closedir(dir);
  return count;
}

uint64_t residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

class HostilePeerTest : public ::testing::Test {
 protected:
  explicit HostilePeerTest(uint32_t maxConnections = 0) {
    executor_ = std::make_shared<TestExecutor>(log_);
    ServerFactories factories;
    factories.executor = [this](const ServerPaths&, const ServerComponents&) { return executor_; };
    factories.journal = [this](const ServerPaths&, const ServerComponents&) {
      return std::make_shared<TestJournal>(log_);
    };
    server_ = std::make_unique<TestServer>(factories, &clock_, 0, [&](ServerOptions& options) {
      options.maxBodyBytes = MAX_BODY;
      options.bodyBudgetBytes = BUDGET;
      options.headerDeadlineMs = HEADER_DEADLINE_MS;
      options.bodyDeadlineMs = BODY_DEADLINE_MS;
      options.loginDelayFirstMs = 50;
      options.loginDelayMaxMs = 200;
      if (maxConnections != 0) options.maxConnections = maxConnections;
    });
  }

  std::unique_ptr<ClientConnection> client() {
    return std::make_unique<ClientConnection>("127.0.0.1", server_->port());
  }
  // The peer's connection ends without an answer, and the console names why.
  void expectDroppedWith(platform::Socket& socket, std::string_view line) {
    std::string received;
    EXPECT_TRUE(readUntilClosed(socket, &received, 5000));
    EXPECT_EQ(received.find("Format"), std::string::npos);
    EXPECT_TRUE(server_->waitForConsole(line)) << cp866ToUtf8(std::string(line));
  }

  InstantClock clock_;
  EventLog log_;
  std::shared_ptr<TestExecutor> executor_;
  std::unique_ptr<TestServer> server_;
};

TEST_F(HostilePeerTest, BodiesPastTheMaximumAreDroppedWithoutAnswer) {
  const struct {
    const char* what;
    std::string bytes;
    bool shutdownAfter;
    std::string line;
  } cases[] = {
      // Refused at its header: nothing of the body is buffered.
      {"a header announcing four billion bytes",
       "Format: TORV5\r\nContent-Length: 4000000000\r\nChecksum: 00000000\r\n\r\n" +
           std::string(100000, 'x'),
       false, std::string("Длина тела запроса 4000000000 больше допустимой 200000\n"_cp866)},
      {"one byte past the maximum",
       frameRequest(std::string(MAX_BODY + 1, 'y'), RequestMode::KNOWN_LENGTH), false,
       std::string("Длина тела запроса 200001 больше допустимой 200000\n"_cp866)},
      {"a quiet body one byte past the maximum",
       frameRequest(std::string(MAX_BODY + 1, 'z'), RequestMode::QUIET), true,
       std::string("Тело запроса неопределённой длины больше допустимой 200000\n"_cp866)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Socket socket = server_->connect();
    (void)socket.sendAll(c.bytes.data(), c.bytes.size());  // may fail once the server closes
    if (c.shutdownAfter) (void)socket.shutdownSend();
    expectDroppedWith(socket, c.line);
  }
  EXPECT_TRUE(log_.events().empty());
  // Exactly the maximum is served, in both modes.
  const std::string largest(MAX_BODY, 'm');
  EXPECT_EQ(client()->request(largest, RequestMode::KNOWN_LENGTH).text, "OK\r\n" + largest);
  EXPECT_EQ(client()->request(largest, RequestMode::QUIET).text, "OK\r\n" + largest);
  EXPECT_EQ(server_->core().reservedBodyBytes(), 0u);
}

TEST_F(HostilePeerTest, UploadsBeyondTheBudgetWaitTheirTurnOrGiveUp) {
  const std::string body(MAX_BODY, 'u');
  const std::string request = frameRequest(body, RequestMode::KNOWN_LENGTH);
  // The first upload holds its share while it trickles in.
  platform::Socket first = server_->connect();
  sendBytes(first, request.substr(0, 1000));
  for (int i = 0; i < 1000 && server_->core().reservedBodyBytes() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(server_->core().reservedBodyBytes(), MAX_BODY - BODY_OWN_BYTES);
  // A second one waits; the first finishes within its deadline and the second goes on.
  auto second = client();
  second->send(body, RequestMode::KNOWN_LENGTH);
  std::this_thread::sleep_for(std::chrono::milliseconds(BODY_DEADLINE_MS / 4));
  sendBytes(first, request.substr(1000));
  EXPECT_EQ(second->receive(RequestMode::KNOWN_LENGTH).text, "OK\r\n" + body);
  // Small bodies never need the budget, however it is taken. The holder sends its progress
  // amount between the steps, so it keeps its share past the starved one's deadline
  // however the connections' admission and the machine's load space them out.
  platform::Socket holder = server_->connect();
  sendBytes(holder, request.substr(0, 1000));
  for (int i = 0; i < 1000 && server_->core().reservedBodyBytes() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sendBytes(holder, request.substr(1000, 66000));
  EXPECT_EQ(client()->request("small", RequestMode::KNOWN_LENGTH).text, "OK\r\nsmall");
  // One that cannot get its share within a body deadline ends without an answer.
  platform::Socket starved = server_->connect();
  sendBytes(starved, request);
  sendBytes(holder, request.substr(67000, 66000));
  std::this_thread::sleep_for(std::chrono::milliseconds(BODY_DEADLINE_MS / 2));
  sendBytes(holder, request.substr(133000, 66000));
  expectDroppedWith(starved, "Нет памяти для тела запроса: занят общий предел 150000 байт\n"_cp866);
  // The stalled holder ends at its body deadline and gives its share back.
  expectDroppedWith(holder, "Истекло время ожидания тела запроса\n"_cp866);
  for (int i = 0; i < 1000 && server_->core().reservedBodyBytes() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(server_->core().reservedBodyBytes(), 0u);
}

TEST_F(HostilePeerTest, StalledHeadersAndBodiesEndButIdleConnectionsStay) {
  platform::Socket idle = server_->connect();
  platform::Socket slowHeader = server_->connect();
  sendBytes(slowHeader, "Format: TORV5\r\nCont");
  platform::Socket slowBody = server_->connect();
  sendBytes(slowBody,
            frameRequest(std::string(1000, 'b'), RequestMode::KNOWN_LENGTH).substr(0, 70));
  expectDroppedWith(slowHeader, "Истекло время ожидания заголовка запроса\n"_cp866);
  expectDroppedWith(slowBody, "Истекло время ожидания тела запроса\n"_cp866);
  // A header byte every so often does not keep a header alive past its deadline.
  platform::Socket trickle = server_->connect();
  const std::string header = frameRequest("t", RequestMode::KNOWN_LENGTH);
  bool dropped = false;
  for (std::size_t i = 0; i < header.size() && !dropped; ++i) {
    dropped = !trickle.sendAll(header.data() + i, 1).isOk();
    std::this_thread::sleep_for(std::chrono::milliseconds(HEADER_DEADLINE_MS / 10));
  }
  expectDroppedWith(trickle, "Истекло время ожидания заголовка запроса\n"_cp866);
  // Idle far past both deadlines, before a first request and after an answer: still served.
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * BODY_DEADLINE_MS));
  for (const std::string body : {"late", "later"}) {
    sendBytes(idle, frameRequest(body, RequestMode::KNOWN_LENGTH));
    std::string received;
    while (received.find("OK\r\n" + body) == std::string::npos) {
      const std::string more = readBytes(idle, 1, 2000);
      ASSERT_FALSE(more.empty()) << body;
      received += more;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * BODY_DEADLINE_MS));
  }
}

TEST_F(HostilePeerTest, FailedLoginsAreDelayedNamedAndAnsweredAsBefore) {
  auto guesser = client();
  for (const char* delay : {"50", "100", "200", "200"}) {
    EXPECT_EQ(guesser->request("badlogin", RequestMode::KNOWN_LENGTH).text,
              std::string("ERROR\r\n") + std::string("неверный пароль"_cp866));
    EXPECT_TRUE(server_->waitForConsole(
        std::string(
            "Неудачный вход пользователя bob с адреса 127.0.0.1, ответ задержан на "_cp866) +
        delay + std::string(" мс\n"_cp866)))
        << delay;
  }
  // The delay is served outside the parser: another client is answered meanwhile.
  guesser->send("badlogin", RequestMode::KNOWN_LENGTH);
  EXPECT_TRUE(server_->waitForConsole("ответ задержан на 200 мс\n"_cp866));
  EXPECT_EQ(client()->request("honest", RequestMode::KNOWN_LENGTH).text, "OK\r\nhonest");
  EXPECT_EQ(guesser->receive(RequestMode::KNOWN_LENGTH).text,
            std::string("ERROR\r\n") + std::string("неверный пароль"_cp866));
}

// Idle peers that never send, peers that send half a header and stall, and peers that
// connect and reset in a loop, while an honest client keeps asking; afterwards threads,
// descriptors and memory are back where they were.
TEST_F(HostilePeerTest, HonestClientIsServedThroughACrowdOfHostilePeers) {
  const std::size_t descriptorsBefore = openDescriptors();
  const uint64_t residentBefore = residentKiB();
  std::vector<platform::Socket> idle;
  std::vector<platform::Socket> slow;
  for (int i = 0; i < 300; ++i) idle.push_back(server_->connect());
  for (int i = 0; i < 100; ++i) {
    slow.push_back(server_->connect());
    sendBytes(slow.back(), "Format: TORV5\r\n");
  }
  std::atomic<bool> stop{false};
  std::thread resetter([&] {
    while (!stop.load()) {
      platform::Socket socket;
      if (platform::connectTcp("127.0.0.1", server_->port(), &socket).isOk()) {
        resetConnection(socket);
      }
    }
  });
  std::vector<double> latencies;
  for (int i = 0; i < 50; ++i) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client()->request("honest", RequestMode::KNOWN_LENGTH).text, "OK\r\nhonest");
    latencies.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
  }
  stop = true;
  resetter.join();
  std::sort(latencies.begin(), latencies.end());
  std::cout << "honest client, new connection per request: median " << latencies[25] << " ms, max "
            << latencies.back() << " ms; open connections " << server_->core().liveConnections()
            << ", threads " << server_->core().liveThreads() << ", RSS " << residentKiB()
            << " KiB (before " << residentBefore << ")\n";
  EXPECT_GE(server_->core().liveConnections(), 300);  // the idle ones stayed
  idle.clear();
  slow.clear();
  EXPECT_TRUE(server_->core().waitUntilIdle(10000)) << server_->core().liveThreads();
  EXPECT_TRUE(platform::waitForNoLiveThreads(5000));
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
  std::cout << "after they left: RSS " << residentKiB() << " KiB\n";
}

class ConnectionCapTest : public HostilePeerTest {
 protected:
  ConnectionCapTest() : HostilePeerTest(3) {}
};

TEST_F(ConnectionCapTest, ConnectionPastTheCapIsClosedAtOnce) {
  std::vector<platform::Socket> held;
  for (int i = 0; i < 3; ++i) held.push_back(server_->connect());
  for (int i = 0; i < 1000 && server_->core().liveConnections() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  platform::Socket fourth = server_->connect();
  expectDroppedWith(fourth, "соединение c 127.0.0.1 отклонено: открыто соединений 3\n"_cp866);
  held.pop_back();
  for (int i = 0; i < 1000 && server_->core().liveConnections() >= 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(client()->request("room", RequestMode::KNOWN_LENGTH).text, "OK\r\nroom");
}

}  // namespace
}  // namespace dovrel::server::testing
