// An in-process server on a free loopback port for the protocol tests: short status
// interval, a process end that only records the status, the console captured, and raw
// socket helpers for peers that misbehave on purpose.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "server/Server.h"

namespace dovrel::server::testing {

inline constexpr uint32_t TEST_INTERVAL_MS = 100;

class TestServer {
 public:
  // `adjust`, when given, changes the options last (limits and deadlines of a test).
  explicit TestServer(ServerFactories factories, TickClock* clock = nullptr,
                      uint64_t bodyMemoryLimit = 0,
                      const std::function<void(ServerOptions&)>& adjust = {}) {
    setConsoleSink([this](std::string_view message) {
      std::lock_guard<std::mutex> lock(mutex_);
      console_ += message;
    });
    ServerOptions options;
    options.statusIntervalMs = TEST_INTERVAL_MS;
    options.endProcess = [this](int status) { endStatus_ = status; };
    options.bodyMemoryLimit = bodyMemoryLimit;
    if (adjust) adjust(options);
    server_ = std::make_unique<Server>(ServerPaths::fromProgramPath("/nonexistent/dovrel"), options,
                                       clock);
    started_ = server_->start(0, factories);
    if (started_) loop_ = std::thread([this] { loopResult_ = server_->acceptLoop(); });
  }

  ~TestServer() {
    if (started_) {
      server_->stop();
      loop_.join();
      EXPECT_TRUE(server_->core()->waitUntilIdle(10000)) << "connection threads left behind";
      // Also past the thread library's own bookkeeping at the end of each thread.
      EXPECT_TRUE(platform::waitForNoLiveThreads(5000));
    }
    if (::testing::Test::HasFailure()) std::cout << "server console:\n" << consoleUtf8();
    setConsoleSink({});
  }

  bool started() const { return started_; }
  uint16_t port() const { return server_->port(); }
  ServerCore& core() { return *server_->core(); }
  int endStatus() const { return endStatus_; }

  std::string console() {
    std::lock_guard<std::mutex> lock(mutex_);
    return console_;
  }
  std::string consoleUtf8() { return cp866ToUtf8(console()); }
  // Waits until the console holds `text` (code page 866); false after 5 s.
  bool waitForConsole(std::string_view text) {
    for (int i = 0; i < 1000; ++i) {
      if (console().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  platform::Socket connect() {
    platform::Socket socket;
    EXPECT_TRUE(platform::connectTcp("127.0.0.1", port(), &socket).isOk());
    return socket;
  }

 private:
  std::mutex mutex_;
  std::string console_;
  std::unique_ptr<Server> server_;
  bool started_ = false;
  std::thread loop_;
  std::atomic<int> loopResult_{-1};
  std::atomic<int> endStatus_{-1};
};

// Sends bytes; the test fails when the connection is already gone.
inline void sendBytes(platform::Socket& socket, std::string_view bytes) {
  EXPECT_TRUE(socket.sendAll(bytes.data(), bytes.size()).isOk());
}

// Everything the peer sends until it closes the connection (true) or `waitMs` pass without
// a byte (false). A server that closes with request bytes still unread resets the
// connection instead of ending it in order; both count as closed.
inline bool readUntilClosed(platform::Socket& socket, std::string* bytes, uint32_t waitMs = 5000) {
  EXPECT_TRUE(socket.setReceiveTimeout(waitMs).isOk());
  // A bound on the whole wait too: status lines keep an idle connection talking.
  const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  char buffer[65536];
  for (;;) {
    if (std::chrono::steady_clock::now() > giveUpAt) return false;
    int error = 0;
    const long got = socket.recv(buffer, sizeof buffer, &error);
    if (got == 0) return true;
    if (got < 0) return error == ECONNRESET;
    bytes->append(buffer, static_cast<std::size_t>(got));
  }
}

// Exactly `count` bytes, or fewer when the peer closes or stays silent for `waitMs`.
inline std::string readBytes(platform::Socket& socket, std::size_t count, uint32_t waitMs = 5000) {
  EXPECT_TRUE(socket.setReceiveTimeout(waitMs).isOk());
  std::string bytes(count, '\0');
  std::size_t have = 0;
  while (have < count) {
    const long got = socket.recv(bytes.data() + have, count - have);
    if (got <= 0) break;
    have += static_cast<std::size_t>(got);
  }
  bytes.resize(have);
  return bytes;
}

}  // namespace dovrel::server::testing
