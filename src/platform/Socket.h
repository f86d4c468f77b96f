// TCP sockets over IPv4: the connected socket, the server's listening socket and the
// client's connect. A Socket may be used by two threads at once when one only receives and
// the other only sends (the reader and writer of a connection); closing is for its owner
// alone, once neither thread uses it any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Env.h"

namespace dovrel::platform {

// A connected stream socket, closed when destroyed. Move-only.
class Socket {
 public:
  Socket() = default;  // no socket
  explicit Socket(int descriptor) : fd_(descriptor) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }

  // Receives at most `length` bytes into `buffer`: the count received, 0 at the end of the
  // peer's stream, or -1 with the errno in `*error` (EAGAIN after a receive timeout).
  // An interrupted call is repeated.
  long recv(void* buffer, std::size_t length, int* error = nullptr);
  // Sends all `length` bytes, in as many system calls as the kernel needs. A peer that has
  // gone away gives EPIPE or ECONNRESET, never a signal.
  Status sendAll(const void* bytes, std::size_t length);
  // Ends the sending side: the peer's recv then returns 0 once it has read everything.
  Status shutdownSend();
  // Sends each write at once instead of holding small ones back while earlier bytes are
  // unacknowledged: an answer that follows a status line or an earlier answer then never
  // waits for the peer's delayed acknowledgement.
  Status setNoDelay();
  // Makes recv give up after `milliseconds` without data (0 = wait for ever).
  Status setReceiveTimeout(uint32_t milliseconds);
  // True when the peer has already reset or fully closed the connection (checked without
  // waiting); a peer that only ended its sending side has not gone.
  bool peerHasGone() const;
  // True when the peer has ended its sending side, reset the connection, or sent bytes
  // nobody asked for (checked without waiting). Between requests this means the peer will
  // never answer on this connection again: a server that stopped or restarted.
  bool idlePeerHasEnded() const;
  // Closes now (the destructor does it otherwise); safe to call twice.
  void close();

 private:
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int fd_ = -1;
};

// What the accept loop does after a failed accept.
enum class AcceptOutcome {
  ACCEPTED,
  RETRY_NOW,          // interrupted or aborted by the peer (EINTR, ECONNABORTED, EPROTO)
  RETRY_AFTER_PAUSE,  // out of descriptors or memory for the moment: the caller waits 100 ms
  FAILED,             // the listening socket is unusable: the accept loop ends
};
AcceptOutcome classifyAcceptError(int error);

struct AcceptResult {
  AcceptOutcome outcome = AcceptOutcome::FAILED;
  Socket socket;             // valid when ACCEPTED
  uint32_t peerAddress = 0;  // IPv4, first octet in the most significant byte
  int error = 0;             // the errno when not ACCEPTED
};

// The server's listening socket. Each step is a call of its own so that the caller can tell
// which one failed. Used by the accept-loop thread only.
class ListenSocket {
 public:
  ListenSocket() = default;
  ~ListenSocket() { close(); }
  ListenSocket(const ListenSocket&) = delete;
  ListenSocket& operator=(const ListenSocket&) = delete;

  // Creates the IPv4 stream socket.
  Status open();
  // Binds to every local address at `port` (0 lets the system choose; see port()).
  // SO_REUSEADDR is set first, so a restart binds even while old connections linger.
  // `address` (host order, the first octet most significant) is the interface to listen on;
  // 0 listens on every interface.
  Status bind(uint16_t port, uint32_t address = 0);
  Status listen(int backlog);
  // The bound port (useful after bind(0)), or 0 when not bound.
  uint16_t port() const;
  // Waits for the next connection.
  AcceptResult accept();
  void close();

 private:
  int fd_ = -1;
};

// Connects to `host` ("127.0.0.1", "localhost", a dotted IPv4 address or a host name that
// resolves to IPv4) at `port`.
Status connectTcp(const std::string& host, uint16_t port, Socket* socket);

}  // namespace dovrel::platform
