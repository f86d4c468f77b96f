// Sockets over loopback: listening, connecting, the peer address, end of stream, address
// reuse after a restart, and a peer reset that must not kill the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Socket.h"

namespace dovrel::platform {
namespace {

constexpr uint32_t LOOPBACK = 0x7F000001;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.open());
    ASSERT_TRUE(listener_.bind(0));
    ASSERT_TRUE(listener_.listen(100));
    port_ = listener_.port();
    ASSERT_NE(port_, 0);
  }

  // Connects a client and accepts it; `server` gets the accepted side.
  void connectPair(Socket* client, Socket* server, const std::string& host = "127.0.0.1") {
    Status status = connectTcp(host, port_, client);
    ASSERT_TRUE(status) << status.toString();
    AcceptResult accepted = listener_.accept();
    ASSERT_EQ(accepted.outcome, AcceptOutcome::ACCEPTED) << accepted.error;
    EXPECT_EQ(accepted.peerAddress, LOOPBACK);
    *server = std::move(accepted.socket);
  }

  static std::string receive(Socket& socket, std::size_t length) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < length) {
      const long n = socket.recv(buffer, std::min(sizeof buffer, length - bytes.size()));
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }

  ListenSocket listener_;
  uint16_t port_ = 0;
};

TEST_F(SocketTest, BytesTravelBothWaysAndShutdownEndsTheStream) {
  Socket client, server;
  connectPair(&client, &server);
  const std::string request(200000, 'r');  // more than one kernel buffer's worth
  ASSERT_TRUE(client.sendAll(request.data(), request.size()));
  ASSERT_TRUE(client.shutdownSend());
  EXPECT_EQ(receive(server, request.size()), request);
  char byte;
  int error = -1;
  EXPECT_EQ(server.recv(&byte, 1, &error), 0);
  EXPECT_EQ(error, 0);
  // The other direction still works after the client's half close.
  ASSERT_TRUE(server.sendAll("OK\r\n", 4));
  server.close();
  EXPECT_EQ(receive(client, 10), "OK\r\n");
}

// The client's check before it reuses a kept connection: a quiet open peer is usable, a
// peer whose process ended (its side closed) is not, though peerHasGone() sees no reset.
TEST_F(SocketTest, IdlePeerHasEndedOnceThePeerClosesItsSide) {
  Socket client, server;
  connectPair(&client, &server);
  EXPECT_FALSE(client.idlePeerHasEnded());
  server.close();
  for (int i = 0; i < 100 && !client.idlePeerHasEnded(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(client.idlePeerHasEnded());
  EXPECT_FALSE(client.peerHasGone());
  EXPECT_FALSE(Socket().idlePeerHasEnded());
}

TEST_F(SocketTest, NoDelayIsSetOnTheSocketAndRefusedWithoutOne) {
  Socket client, server;
  connectPair(&client, &server);
  ASSERT_TRUE(server.setNoDelay());
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(::getsockopt(server.descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_NE(on, 0);
  Socket none;
  EXPECT_FALSE(none.setNoDelay());
}

TEST_F(SocketTest, LocalhostResolvesToLoopback) {
  Socket client, server;
  connectPair(&client, &server, "localhost");
}

TEST_F(SocketTest, ConnectToAClosedPortIsRefused) {
  listener_.close();
  Socket client;
  Status status = connectTcp("127.0.0.1", port_, &client);
  EXPECT_EQ(status.error(), ECONNREFUSED);
  EXPECT_FALSE(client.valid());
}

TEST_F(SocketTest, ReceiveTimeoutGivesUpWithEagain) {
  Socket client, server;
  connectPair(&client, &server);
  ASSERT_TRUE(server.setReceiveTimeout(50));
  char byte;
  int error = 0;
  EXPECT_EQ(server.recv(&byte, 1, &error), -1);
  EXPECT_TRUE(error == EAGAIN || error == EWOULDBLOCK) << error;
}

TEST_F(SocketTest, SendToAResetPeerFailsWithoutKillingTheProcess) {
  Socket client, server;
  connectPair(&client, &server);
  // Closing with unread data makes the kernel answer with a reset.
  ASSERT_TRUE(server.sendAll("x", 1));
  client.close();
  const std::string chunk(65536, 'a');
  Status status;
  for (int i = 0; i < 100 && status; ++i) status = server.sendAll(chunk.data(), chunk.size());
  EXPECT_TRUE(status.error() == EPIPE || status.error() == ECONNRESET) << status.toString();
}

TEST_F(SocketTest, RestartBindsTheSamePortWhileAConnectionIsInTimeWait) {
  {
    Socket client, server;
    connectPair(&client, &server);
    // The server closes first, so its side of the connection stays in TIME_WAIT.
    server.close();
    char byte;
    EXPECT_EQ(client.recv(&byte, 1), 0);
  }
  listener_.close();
  ListenSocket restarted;
  ASSERT_TRUE(restarted.open());
  Status status = restarted.bind(port_);
  EXPECT_TRUE(status) << status.toString();
  ASSERT_TRUE(restarted.listen(100));
}

TEST_F(SocketTest, BindingAPortThatIsListenedOnFails) {
  ListenSocket second;
  ASSERT_TRUE(second.open());
  Status status = second.bind(port_);
  EXPECT_EQ(status.error(), EADDRINUSE);
}

TEST_F(SocketTest, MovedSocketClosesExactlyOnce) {
  Socket client, server;
  connectPair(&client, &server);
  const int fd = server.descriptor();
  Socket moved(std::move(server));
  EXPECT_FALSE(server.valid());
  EXPECT_EQ(moved.descriptor(), fd);
  Socket assigned;
  assigned = std::move(moved);
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  assigned = Socket();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(AcceptErrorTest, TransientErrorsAreRetriedOthersEndTheLoop) {
  for (int error : {ECONNABORTED, EINTR, EPROTO})
    EXPECT_EQ(classifyAcceptError(error), AcceptOutcome::RETRY_NOW) << error;
  for (int error : {ENOBUFS, ENOMEM, EMFILE, ENFILE})
    EXPECT_EQ(classifyAcceptError(error), AcceptOutcome::RETRY_AFTER_PAUSE) << error;
  for (int error : {EBADF, EINVAL, ENOTSOCK, EOPNOTSUPP})
    EXPECT_EQ(classifyAcceptError(error), AcceptOutcome::FAILED) << error;
  ListenSocket closed;
  EXPECT_EQ(closed.accept().outcome, AcceptOutcome::FAILED);
}

}  // namespace
}  // namespace dovrel::platform
