// The connection protocol over real loopback sockets against an in-process server: framing,
// refusals of malformed requests, quiet requests, status lines, the parser's queue, halt,
// and peers that vanish or misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "TestComponents.h"
#include "TestServer.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "server/Connection.h"
#include "server/ServerCore.h"

namespace dovrel::server::testing {
namespace {

using client::ClientConnection;
using client::frameRequest;
using client::RequestMode;

// Closes with a reset instead of an orderly end.
void resetConnection(platform::Socket& socket) {
  const linger abort{1, 0};
  ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  socket.close();
}

std::size_t occurrences(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    executor_ = std::make_shared<TestExecutor>(log_);
    ServerFactories factories;
    factories.executor = [this](const ServerPaths&, const ServerComponents&) { return executor_; };
    factories.journal = [this](const ServerPaths&, const ServerComponents&) {
      return std::make_shared<TestJournal>(log_);
    };
    server_ = std::make_unique<TestServer>(factories, nullptr, BODY_MEMORY_LIMIT);
  }

  static constexpr uint64_t BODY_MEMORY_LIMIT = 1 << 20;

  std::unique_ptr<ClientConnection> client() {
    return std::make_unique<ClientConnection>("127.0.0.1", server_->port());
  }

  EventLog log_;
  std::shared_ptr<TestExecutor> executor_;
  std::unique_ptr<TestServer> server_;
};

TEST_F(ConnectionTest, SeveralKnownLengthRequestsShareOneConnection) {
  // The client checks each answer's length and checksum (and skips status lines, which a
  // slow machine may see between the answers).
  auto connection = client();
  std::string big(200000, 'q');
  for (std::size_t i = 0; i < big.size(); i += 13) big[i] = static_cast<char>(i);
  for (const std::string& body : {std::string("first"), big, std::string("third")}) {
    EXPECT_EQ(connection->request(body, RequestMode::KNOWN_LENGTH).text, "OK\r\n" + body);
  }
  EXPECT_EQ(server_->console(), "");
  // Closing after the last answer ends the reader at the next header.
  connection.reset();
  EXPECT_TRUE(server_->waitForConsole("Неожиданный конец заголовка\n"_cp866));
}

// The reader keeps what arrives behind a header for the body and the next request: however
// the bytes are cut into sends, every request is journalled, run and answered in order, and
// a bad request behind good ones is refused exactly as on its own.
TEST_F(ConnectionTest, RequestsAreServedInOrderHoweverTheirBytesAreCut) {
  const auto known = [](std::string_view body) {
    return frameRequest(body, RequestMode::KNOWN_LENGTH);
  };
  std::string big(200000, 'p');
  for (std::size_t i = 0; i < big.size(); i += 11) big[i] = static_cast<char>(i);
  std::string badChecksum = known("three");
  badChecksum.back() = 'E';
  const std::string split = known(std::string(1000, 's'));
  const struct {
    const char* what;
    std::vector<std::string> sends;   // each its own send, a pause apart
    std::vector<std::string> bodies;  // answered, in order
    std::string_view refusal;         // the console line of the refusal that ends it, if any
  } cases[] = {
      {"two requests in one send", {known("one") + known("two")}, {"one", "two"}, {}},
      {"header and body in one segment", {known("solo")}, {"solo"}, {}},
      {"header, then its body", {known("later").substr(0, 56), "later"}, {"later"}, {}},
      {"body split across sends",
       {split.substr(0, 300), split.substr(300, 400), split.substr(700)},
       {std::string(1000, 's')},
       {}},
      {"header split across sends",
       {known("cut").substr(0, 10), known("cut").substr(10)},
       {"cut"},
       {}},
      {"a request and the start of the next",
       {known("first") + known("second").substr(0, 30), known("second").substr(30)},
       {"first", "second"},
       {}},
      {"a large body between small ones in one send",
       {known("a") + known(big) + known("b")},
       {"a", big, "b"},
       {}},
      {"a bad checksum behind a good request",
       {known("one") + known("two") + badChecksum},
       {"one", "two"},
       "Ошибка контрольной суммы запроса\n"_cp866},
      {"a bad header behind a good request",
       {known("one") + std::string(70, 'z')},
       {"one"},
       "Некорректный заголовок\n"_cp866},
      {"a quiet request behind a known-length one",
       {known("one") + frameRequest("two", RequestMode::QUIET)},
       {"one"},
       "Некорректный заголовок\n"_cp866},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    const std::size_t refusalsBefore =
        c.refusal.empty() ? 0 : occurrences(server_->console(), c.refusal);
    auto connection = client();
    // A lost request fails the case instead of waiting for ever: the server goes on sending
    // status lines while it waits for bytes that never come.
    int statusLines = 0;
    const auto patience = [&statusLines](std::string_view) {
      if (++statusLines > 50) throw std::runtime_error("no answer after 50 status lines");
    };
    for (const std::string& bytes : c.sends) {
      sendBytes(connection->socket(), bytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<std::string> journalled;
    for (const std::string& body : c.bodies) {
      EXPECT_EQ(connection->receive(RequestMode::KNOWN_LENGTH, patience).text, "OK\r\n" + body);
      journalled.push_back("append " + body);
      journalled.push_back("execute " + body);
    }
    EXPECT_EQ(log_.events(), journalled);
    if (!c.refusal.empty()) {
      std::string rest;
      EXPECT_TRUE(readUntilClosed(connection->socket(), &rest));
      EXPECT_EQ(rest.find("Format"), std::string::npos);
      for (int i = 0; i < 1000 && occurrences(server_->console(), c.refusal) == refusalsBefore;
           ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_EQ(occurrences(server_->console(), c.refusal), refusalsBefore + 1);
    }
  }
}

TEST_F(ConnectionTest, MalformedHeaderIsDroppedWithoutAnswer) {
  const std::string headers[] = {
      "Format: TORV4\r\nContent-Length: 5\r\nChecksum: 00000000\r\n\r\nhello",
      "Format: TORV5\r\nContent-Length: 00000000005\r\nChecksum: 00000000\r\n\r\nhello",
      "Format: TORV5\r\nContent-Length: 4294967296\r\nChecksum: 00000000\r\n\r\nhello",
      "Format: TORV5\r\nContent-Length: 5\r\nChecksum: 3610a686\r\n\r\nhello",
      std::string(100, 'z'),
  };
  for (const std::string& bytes : headers) {
    platform::Socket socket = server_->connect();
    sendBytes(socket, bytes);
    std::string received;
    EXPECT_TRUE(readUntilClosed(socket, &received)) << bytes;
    EXPECT_EQ(received, "") << bytes;
  }
  EXPECT_EQ(occurrences(server_->console(), "Некорректный заголовок\n"_cp866), 5u);
  EXPECT_TRUE(log_.events().empty());
}

TEST_F(ConnectionTest, ChecksumMismatchIsDroppedBeforeTheQueryRuns) {
  std::string request = frameRequest("hello", RequestMode::KNOWN_LENGTH);
  request.back() = 'O';  // the body changes after its checksum was taken
  platform::Socket socket = server_->connect();
  sendBytes(socket, request);
  std::string received;
  EXPECT_TRUE(readUntilClosed(socket, &received));
  EXPECT_EQ(received, "");
  EXPECT_EQ(server_->console(), "Ошибка контрольной суммы запроса\n"_cp866);
  EXPECT_TRUE(log_.events().empty());
}

TEST_F(ConnectionTest, QuietRequestGetsZeroFrameNoStatusLinesAndTheEnd) {
  platform::Socket socket = server_->connect();
  // The checksum field of a quiet request is not compared.
  sendBytes(socket, "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 12345678\r\n\r\nblock");
  ASSERT_TRUE(socket.shutdownSend().isOk());
  executor_->running.acquire();
  std::this_thread::sleep_for(std::chrono::milliseconds(4 * TEST_INTERVAL_MS));
  executor_->gate.release();
  std::string received;
  EXPECT_TRUE(readUntilClosed(socket, &received));
  EXPECT_EQ(received,
            "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 00000000\r\n\r\nOK\r\nblock");
  EXPECT_EQ(server_->console(), "");
}

TEST_F(ConnectionTest, QuietRequestAfterAKnownLengthOneDropsTheConnection) {
  auto connection = client();
  EXPECT_EQ(connection->request("one", RequestMode::KNOWN_LENGTH).text, "OK\r\none");
  platform::Socket& socket = connection->socket();
  sendBytes(socket, frameRequest("two", RequestMode::QUIET));
  std::string received;
  EXPECT_TRUE(readUntilClosed(socket, &received));
  EXPECT_EQ(received.find("Format"), std::string::npos);
  EXPECT_TRUE(server_->waitForConsole("Некорректный заголовок\n"_cp866));
  EXPECT_EQ(log_.events(), (std::vector<std::string>{"append one", "execute one"}));
}

TEST_F(ConnectionTest, IdleConnectionIsSilentUntilItsFirstAnswerThenSaysReady) {
  auto connection = client();
  platform::Socket& socket = connection->socket();
  EXPECT_EQ(readBytes(socket, 1, 4 * TEST_INTERVAL_MS), "");  // STATE_QUIET: no status line
  EXPECT_EQ(connection->request("x", RequestMode::KNOWN_LENGTH).text, "OK\r\nx");
  EXPECT_EQ(readBytes(socket, 14, 4 * TEST_INTERVAL_MS), "Ready\r\nReady\r\n");
}

TEST_F(ConnectionTest, WaitingClientSeesInQueueWhileTheRunningOneSeesRunning) {
  auto runner = client();
  auto waiter = client();
  runner->send("block", RequestMode::KNOWN_LENGTH);
  executor_->running.acquire();
  waiter->send("next", RequestMode::KNOWN_LENGTH);
  std::this_thread::sleep_for(std::chrono::milliseconds(4 * TEST_INTERVAL_MS));
  executor_->gate.release();

  std::vector<std::string> runnerStatus;
  std::vector<std::string> waiterStatus;
  const auto record = [](std::vector<std::string>& into) {
    return [&into](std::string_view status) { into.emplace_back(status); };
  };
  EXPECT_EQ(runner->receive(RequestMode::KNOWN_LENGTH, record(runnerStatus)).text, "OK\r\nblock");
  EXPECT_EQ(waiter->receive(RequestMode::KNOWN_LENGTH, record(waiterStatus)).text, "OK\r\nnext");
  ASSERT_FALSE(runnerStatus.empty());
  ASSERT_FALSE(waiterStatus.empty());
  for (const std::string& status : runnerStatus) EXPECT_EQ(status, "Running");
  // Once its turn comes the waiter runs too, and a busy machine may send a status line then.
  EXPECT_EQ(waiterStatus.front(), "In queue");
  for (std::size_t i = 1; i < waiterStatus.size(); ++i) {
    if (waiterStatus[i - 1] == "Running") {
      EXPECT_EQ(waiterStatus[i], "Running");
    } else {
      EXPECT_TRUE(waiterStatus[i] == "In queue" || waiterStatus[i] == "Running") << waiterStatus[i];
    }
  }
}

TEST_F(ConnectionTest, RefusalsBecomeErrorAnswersAndTheConnectionGoesOn) {
  auto connection = client();
  EXPECT_EQ(connection->request("refuse", RequestMode::KNOWN_LENGTH).text,
            std::string("ERROR\r\n") + std::string("отказ"_cp866));
  EXPECT_EQ(connection->request("crash", RequestMode::KNOWN_LENGTH).text,
            std::string("ERROR\r\n") + std::string("неожиданная ошибка"_cp866));
  EXPECT_EQ(connection->request("empty", RequestMode::KNOWN_LENGTH).text, "");
  EXPECT_EQ(connection->request("after", RequestMode::KNOWN_LENGTH).text, "OK\r\nafter");
}

TEST_F(ConnectionTest, JournalRecordsBeforeTheQueryAndRotatesAfterCommit) {
  auto connection = client();
  EXPECT_EQ(connection->request("commit", RequestMode::KNOWN_LENGTH).text, "OK\r\ncommit");
  EXPECT_EQ(log_.events(), (std::vector<std::string>{"append commit", "execute commit", "rotate"}));
}

// Regression: in the executor's error state every query is refused, yet each was
// journalled, so the restart the refusal asks for ran them all and they took effect.
TEST_F(ConnectionTest, QueriesInTheErrorStateAreNotJournalled) {
  auto connection = client();
  executor_->inErrorState = true;
  EXPECT_EQ(connection->request("refuse", RequestMode::KNOWN_LENGTH).text,
            std::string("ERROR\r\n") + std::string("отказ"_cp866));
  EXPECT_EQ(log_.events(), (std::vector<std::string>{"execute refuse"}));
}

TEST_F(ConnectionTest, HaltEndsWithoutAnswerAfterSavingInOrder) {
  auto connection = client();
  connection->send("halt", RequestMode::KNOWN_LENGTH);
  try {
    connection->receive(RequestMode::KNOWN_LENGTH);
    ADD_FAILURE() << "an answer to halt";
  } catch (const client::ClientError& error) {
    EXPECT_TRUE(error.closedBeforeAnswer());
  }
  // The connection ends before the server saves; wait for the end of the process.
  for (int i = 0; i < 1000 && server_->endStatus() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_->console(), "работа завершена, сохраняемся\n"_cp866);
  EXPECT_EQ(log_.events(), (std::vector<std::string>{"append halt", "execute halt",
                                                     "executor shutdown", "journal shutdown"}));
  EXPECT_EQ(server_->endStatus(), 0);
  // The parser stays taken: no query may start while the server saves and ends.
  EXPECT_FALSE(server_->core().parserSemaphore().try_acquire());
}

TEST_F(ConnectionTest, HaltWhoseSaveFailsStillEndsTheProcessButNotCleanly) {
  executor_->failShutdown = true;
  auto connection = client();
  connection->send("halt", RequestMode::KNOWN_LENGTH);
  EXPECT_THROW(connection->receive(RequestMode::KNOWN_LENGTH), client::ClientError);
  for (int i = 0; i < 1000 && server_->endStatus() < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_->endStatus(), 1);
  EXPECT_EQ(server_->console(),
            std::string("работа завершена, сохраняемся\n"_cp866) + std::string("диск"_cp866));
  // Regression: the journal used to be removed before the save, so a failed save lost the
  // work since the last commit; now it stays for the next start's replay.
  EXPECT_EQ(log_.events(),
            (std::vector<std::string>{"append halt", "execute halt", "executor shutdown"}));
}

TEST_F(ConnectionTest, PeersThatVanishMidRequestLeaveNoThreads) {
  {
    platform::Socket socket = server_->connect();
    sendBytes(socket, "Format: TORV5\r\nContent-Len");
  }
  EXPECT_TRUE(server_->waitForConsole("Неожиданный конец заголовка\n"_cp866));
  {
    platform::Socket socket = server_->connect();
    sendBytes(socket,
              frameRequest(std::string(1000, 'x'), RequestMode::KNOWN_LENGTH).substr(0, 500));
  }
  EXPECT_TRUE(server_->waitForConsole("Неожиданный конец тела запроса"_cp866));
  {
    platform::Socket socket = server_->connect();
    sendBytes(socket,
              frameRequest(std::string(1000, 'x'), RequestMode::KNOWN_LENGTH).substr(0, 500));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    resetConnection(socket);
  }
  EXPECT_TRUE(server_->waitForConsole("Ошибка чтения тела запроса 104\n"_cp866));
  EXPECT_TRUE(server_->core().waitUntilIdle(2000)) << server_->core().liveThreads();
  // The server goes on serving.
  EXPECT_EQ(client()->request("still", RequestMode::KNOWN_LENGTH).text, "OK\r\nstill");
}

TEST_F(ConnectionTest, RequestThatExhaustsMemoryEndsOnlyItsConnection) {
  for (const RequestMode mode : {RequestMode::KNOWN_LENGTH, RequestMode::QUIET}) {
    platform::Socket socket = server_->connect();
    const std::string request = frameRequest(std::string(BODY_MEMORY_LIMIT + 1, 'm'), mode);
    // The server stops reading once memory runs out, so the send may fail part-way.
    (void)socket.sendAll(request.data(), request.size());
    if (mode == RequestMode::QUIET) (void)socket.shutdownSend();
    std::string received;
    EXPECT_TRUE(readUntilClosed(socket, &received));
    EXPECT_EQ(received.find("Format"), std::string::npos);  // status lines, no answer
  }
  EXPECT_TRUE(server_->waitForConsole("Ошибка чтения тела запроса 12\n"_cp866));
  EXPECT_TRUE(
      server_->waitForConsole("Ошибка 12 чтения тела запроса неопределённой длины\n"_cp866));
  EXPECT_TRUE(log_.events().empty());
  EXPECT_EQ(client()->request("still", RequestMode::KNOWN_LENGTH).text, "OK\r\nstill");
}

TEST_F(ConnectionTest, WriterThatCannotSendEndsItsReaderToo) {
  platform::Socket socket = server_->connect();
  sendBytes(socket, frameRequest("big", RequestMode::KNOWN_LENGTH));
  executor_->running.acquire();
  // Once the answer has begun the writer is inside its sends (16 MiB do not fit in the
  // socket buffers), and the reader waits for it.
  std::string received;
  while (received.find("Format: TORV5") == std::string::npos) {
    const std::string more = readBytes(socket, 100);
    ASSERT_FALSE(more.empty());
    received += more;
  }
  resetConnection(socket);
  EXPECT_TRUE(server_->waitForConsole("Ошибка записи в сокет ответа\n"_cp866));
  EXPECT_TRUE(server_->core().waitUntilIdle(4 * TEST_INTERVAL_MS + 2000));
}

}  // namespace
}  // namespace dovrel::server::testing
