// Start-up (its order and its failures) and the accept loop (the peer check and the
// admission throttle) of an in-process server.
#include <gtest/gtest.h>

#include <atomic>

#include "TestComponents.h"
#include "TestServer.h"
#include "client/ClientConnection.h"
#include "server/Server.h"

namespace dovrel::server::testing {
namespace {

class SwitchablePeers final : public permissions::PeerFilter {
 public:
  bool isAllowed(uint32_t address) override {
    lastAddress = address;
    return allow.load();
  }
  std::atomic<bool> allow{true};
  std::atomic<uint32_t> lastAddress{0};
};

// Time moves only when the throttle sleeps. Shared with the accept loop's thread.
class SteppedClock final : public TickClock {
 public:
  uint64_t tickMs() override { return now.load(); }
  void sleepMs(uint32_t milliseconds) override {
    sleeps.fetch_add(1);
    now.fetch_add(milliseconds);
  }
  std::atomic<uint64_t> now{42000};
  std::atomic<int> sleeps{0};
};

TEST(ServerStartTest, ComponentsAreMadeInOrderEachSeeingTheOnesBefore) {
  EventLog log;
  std::vector<std::string> order;
  ServerFactories factories;
  factories.peerFilter = [&](const ServerPaths& paths) {
    order.push_back("peers " + paths.dataDir);
    return std::make_shared<permissions::AllowAllPeers>();
  };
  factories.executor = [&](const ServerPaths&, const ServerComponents& made) {
    order.push_back(made.peerFilter ? "executor after peers" : "executor alone");
    return std::make_shared<TestExecutor>(log);
  };
  factories.journal = [&](const ServerPaths& paths, const ServerComponents& made) {
    order.push_back(made.executor ? "journal after executor" : "journal alone");
    order.push_back(paths.logDir);
    return std::make_shared<TestJournal>(log);
  };
  TestServer server(factories);
  ASSERT_TRUE(server.started());
  EXPECT_EQ(order, (std::vector<std::string>{"peers /nonexistent/DATA/", "executor after peers",
                                             "journal after executor", "/nonexistent/LOGS/"}));
}

TEST(ServerStartTest, RefusingFactoryStopsTheStartWithItsMessage) {
  ServerFactories factories;
  factories.executor = [](const ServerPaths&,
                          const ServerComponents&) -> std::shared_ptr<QueryExecutor> {
    throw TextError("нет таблиц"_cp866);
  };
  bool journalMade = false;
  factories.journal = [&](const ServerPaths&, const ServerComponents&) {
    journalMade = true;
    return std::make_shared<NullQueryJournal>();
  };
  TestServer server(factories);
  EXPECT_FALSE(server.started());
  EXPECT_FALSE(journalMade);
  EXPECT_EQ(server.console(), "нет таблиц"_cp866);

  ServerFactories unexpected;
  unexpected.peerFilter = [](const ServerPaths&) -> std::shared_ptr<permissions::PeerFilter> {
    throw std::runtime_error("x");
  };
  TestServer second(unexpected);
  EXPECT_FALSE(second.started());
  EXPECT_EQ(second.console(), "неожиданная ошибка"_cp866);
}

TEST(ServerStartTest, PortInUseIsABindFailure) {
  platform::ListenSocket taken;
  ASSERT_TRUE(taken.open().isOk());
  ASSERT_TRUE(taken.bind(0).isOk());
  ASSERT_TRUE(taken.listen(1).isOk());
  std::string console;
  setConsoleSink([&](std::string_view message) { console += message; });
  Server server(ServerPaths::fromProgramPath("dovrel"), ServerOptions{});
  EXPECT_FALSE(server.start(taken.port(), ServerFactories{}));
  setConsoleSink({});
  EXPECT_EQ(console, "ошибка привязки сокета к порту (bind)\n"_cp866);
}

TEST(AcceptLoopTest, RefusedPeerIsClosedAndNamed) {
  auto peers = std::make_shared<SwitchablePeers>();
  peers->allow = false;
  ServerFactories factories;
  factories.peerFilter = [&](const ServerPaths&) { return peers; };
  TestServer server(factories);
  platform::Socket socket = server.connect();
  std::string received;
  EXPECT_TRUE(readUntilClosed(socket, &received));
  EXPECT_EQ(received, "");
  EXPECT_TRUE(server.waitForConsole("соединение c 127.0.0.1 запрещено\n"_cp866));
  EXPECT_EQ(peers->lastAddress.load(), 0x7F000001u);
}

TEST(AcceptLoopTest, SeventeenthConnectionInATickSecondWaitsAndRefusedOnesDoNotCount) {
  auto peers = std::make_shared<SwitchablePeers>();
  SteppedClock clock;
  EventLog log;
  ServerFactories factories;
  factories.peerFilter = [&](const ServerPaths&) { return peers; };
  factories.executor = [&](const ServerPaths&, const ServerComponents&) {
    return std::make_shared<TestExecutor>(log);
  };
  TestServer server(factories, &clock);
  // An answer proves that its connection was admitted.
  const auto admitted = [&] {
    client::ClientConnection connection("127.0.0.1", server.port());
    return connection.request("x", client::RequestMode::KNOWN_LENGTH).text == "OK\r\nx";
  };
  peers->allow = false;
  for (int i = 0; i < 20; ++i) {
    platform::Socket refused = server.connect();
    std::string ignored;
    readUntilClosed(refused, &ignored);
  }
  peers->allow = true;
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(admitted());
  EXPECT_EQ(clock.sleeps.load(), 0);
  EXPECT_EQ(clock.now.load(), 42000u);
  ASSERT_TRUE(admitted());
  EXPECT_EQ(clock.sleeps.load(), 1);
  EXPECT_EQ(clock.now.load(), 43000u);
}

}  // namespace
}  // namespace dovrel::server::testing
