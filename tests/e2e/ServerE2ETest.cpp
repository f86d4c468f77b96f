// The real dovrel program: its command line and exit statuses, the wire protocol through
// the client library, and hostile peers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "E2ETest.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "client/RequestFrame.h"
#include "foundation/Cp866.h"

namespace dovrel::e2e {
namespace {

using client::ClientConnection;
using client::RequestMode;

// What the parser answers to a body without login lines, and to an unknown user: answers
// that no command handler changes.
const std::string BAD_LOGIN_ANSWER =
    "ERROR\r\n" +
    std::string("Ошибка в строке 1 столбце 1: ожидается 'User: *\\x0D\\x0A', получено 'x'"_cp866);
const std::string UNKNOWN_USER_ANSWER =
    "ERROR\r\n" +
    std::string("Ошибка в строке 3 столбце 1: имя a не принадлежит ни роли, ни пользователю"_cp866);

using CommandLineE2ETest = E2ETest;

TEST_F(CommandLineE2ETest, RefusedCommandLinesPrintTheirMessageAndExitOne) {
  const struct {
    std::vector<std::string> arguments;
    std::string console;
  } cases[] = {
      {{"-port:0"}, "Ошибка: не положительное число в параметре командной строки -port:0"},
      {{"-port:65536"},
       "Ошибка: номер порта больше 65535 в параметре командной строки -port:65536"},
      {{"-port:08888"}, "Ошибка: неверный формат в параметре командной строки -port:08888"},
      {{"-port:"}, "Ошибка: неверный формат числа в параметре командной строки -port:"},
      {{"--port=80"}, "Ошибка: неожиданный формат параметра командной строки --port=80"},
      {{"-port:1", "-port:2"}, "Ошибка: более одного параметра командной строки вида -port:"},
  };
  for (const auto& c : cases) {
    const ProgramRun run = instance_->runServer(c.arguments);
    EXPECT_EQ(run.status, 1) << c.console;
    EXPECT_EQ(run.output, c.console);
  }
}

TEST_F(CommandLineE2ETest, PortInUseIsABindFailure) {
  // Another program holds the port; the instance itself is free.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const ProgramRun run = instance_->runServer({"-port:" + std::to_string(ntohs(address.sin_port))});
  ::close(holder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "ошибка привязки сокета к порту (bind)\n");
}

TEST_F(CommandLineE2ETest, SecondServerOnTheSameInstanceStopsBeforeTouchingIt) {
  ASSERT_TRUE(instance_->start());
  const ProgramRun second =
      instance_->runServer({"-port:" + std::to_string(ServerInstance::freePort())});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.output, "Ошибка: каталог данных уже обслуживается другим процессом\n");
  // The first server goes on serving, and its journal holds only its own requests.
  ClientConnection connection("127.0.0.1", instance_->port());
  EXPECT_EQ(connection.request("x", RequestMode::KNOWN_LENGTH).text, BAD_LOGIN_ANSWER);
}

TEST_F(CommandLineE2ETest, RestartBindsAtOnceAfterConnectionsWereServed) {
  ASSERT_TRUE(instance_->start());
  {
    // The server closes a quiet connection first, which leaves its side in TIME_WAIT.
    ClientConnection connection("127.0.0.1", instance_->port());
    EXPECT_EQ(connection.request("x", RequestMode::QUIET).text, BAD_LOGIN_ANSWER);
  }
  const uint16_t port = instance_->port();
  instance_->stop();
  ASSERT_TRUE(instance_->start(port)) << "the old connections kept the port";
}

using ProtocolE2ETest = E2ETest;

TEST_F(ProtocolE2ETest, ClientLibraryRoundTripsInBothModes) {
  ASSERT_TRUE(instance_->start());
  ClientConnection connection("127.0.0.1", instance_->port());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(
        connection.request("User: a\r\nPassword: \r\nget users;", RequestMode::KNOWN_LENGTH).text,
        UNKNOWN_USER_ANSWER);
  }
  ClientConnection quiet("127.0.0.1", instance_->port());
  EXPECT_EQ(quiet.request("User: a\r\nPassword: \r\nget users;", RequestMode::QUIET).text,
            UNKNOWN_USER_ANSWER);
  EXPECT_THROW(quiet.receive(RequestMode::KNOWN_LENGTH), client::ClientError);  // closed
}

TEST_F(ProtocolE2ETest, RequestsSentTogetherAreAnsweredInOrder) {
  ASSERT_TRUE(instance_->start());
  ClientConnection connection("127.0.0.1", instance_->port());
  const std::string both =
      client::frameRequest("User: a\r\nPassword: \r\nget users;", RequestMode::KNOWN_LENGTH) +
      client::frameRequest("x", RequestMode::KNOWN_LENGTH);
  ASSERT_TRUE(connection.socket().sendAll(both.data(), both.size()).isOk());
  EXPECT_EQ(connection.receive(RequestMode::KNOWN_LENGTH).text, UNKNOWN_USER_ANSWER);
  EXPECT_EQ(connection.receive(RequestMode::KNOWN_LENGTH).text, BAD_LOGIN_ANSWER);
  EXPECT_EQ(connection.request("x", RequestMode::KNOWN_LENGTH).text, BAD_LOGIN_ANSWER);
}

TEST_F(ProtocolE2ETest, HostilePeersDoNotStopTheServer) {
  ASSERT_TRUE(instance_->start());
  for (int round = 0; round < 20; ++round) {
    ClientConnection peer("127.0.0.1", instance_->port());
    platform::Socket& socket = peer.socket();
    const std::string garbage = round % 2 == 0 ? std::string(70, static_cast<char>(round))
                                               : "Format: TORV5\r\nContent-Length: 50\r\n"
                                                 "Checksum: 00000000\r\n\r\nhalf";
    (void)socket.sendAll(garbage.data(), garbage.size());
    if (round % 4 == 1) {
      const linger abort{1, 0};  // reset mid-body
      ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    socket.close();
  }
  ClientConnection connection("127.0.0.1", instance_->port());
  EXPECT_EQ(connection.request("x", RequestMode::KNOWN_LENGTH).text, BAD_LOGIN_ANSWER);
  EXPECT_TRUE(instance_->running());
  EXPECT_NE(instance_->console().find("Некорректный заголовок\n"), std::string::npos);
}

}  // namespace
}  // namespace dovrel::e2e
