// BSD sockets for the server and the client library. Every send uses MSG_NOSIGNAL, so a
// peer that resets the connection yields EPIPE instead of ending the process. Thread use
// as stated in Socket.h.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dovrel::platform {

namespace {

Status socketError(int error, const std::string& what) {
  return Status::fromErrno(error != 0 ? error : EIO, what);
}

std::string endpointText(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

long Socket::recv(void* buffer, std::size_t length, int* error) {
  if (error != nullptr) *error = 0;
  if (fd_ < 0) {
    if (error != nullptr) *error = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, length, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (error != nullptr) *error = errno;
    return -1;
  }
}

Status Socket::sendAll(const void* bytes, std::size_t length) {
  if (fd_ < 0) return socketError(EBADF, "send");
  const auto* next = static_cast<const unsigned char*>(bytes);
  while (length > 0) {
    const ssize_t n = ::send(fd_, next, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return socketError(errno, "send");
    }
    next += n;
    length -= static_cast<std::size_t>(n);
  }
  return Status::ok();
}

Status Socket::shutdownSend() {
  if (fd_ < 0) return socketError(EBADF, "shutdown");
  if (::shutdown(fd_, SHUT_WR) != 0) return socketError(errno, "shutdown");
  return Status::ok();
}

Status Socket::setNoDelay() {
  if (fd_ < 0) return socketError(EBADF, "setsockopt TCP_NODELAY");
  const int on = 1;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return socketError(errno, "setsockopt TCP_NODELAY");
  }
  return Status::ok();
}

Status Socket::setReceiveTimeout(uint32_t milliseconds) {
  if (fd_ < 0) return socketError(EBADF, "setsockopt SO_RCVTIMEO");
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
  limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    return socketError(errno, "setsockopt SO_RCVTIMEO");
  }
  return Status::ok();
}

bool Socket::peerHasGone() const {
  if (fd_ < 0) return false;  // no connection, so no peer that could have gone
  pollfd state{fd_, 0, 0};
  int ready;
  do {
    ready = ::poll(&state, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

bool Socket::idlePeerHasEnded() const {
  if (fd_ < 0) return false;
  pollfd state{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&state, 1, 0);
  } while (ready < 0 && errno == EINTR);
  // Readable while no request is outstanding: the end of the stream, an error or stray
  // bytes, none of which leaves the connection usable for the next request.
  return ready > 0 && (state.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void Socket::close() {
  // Not retried on EINTR: the descriptor is released either way on Linux.
  if (fd_ >= 0) ::close(release());
}

AcceptOutcome classifyAcceptError(int error) {
  switch (error) {
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
      return AcceptOutcome::RETRY_NOW;
    case ENOBUFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return AcceptOutcome::RETRY_AFTER_PAUSE;
    default:
      return AcceptOutcome::FAILED;
  }
}

Status ListenSocket::open() {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) return socketError(errno, "socket");
  return Status::ok();
}

Status ListenSocket::bind(uint16_t port, uint32_t interfaceAddress) {
  const std::string what =
      "bind " + endpointText(std::to_string(interfaceAddress >> 24) + "." +
                                 std::to_string((interfaceAddress >> 16) & 0xFF) + "." +
                                 std::to_string((interfaceAddress >> 8) & 0xFF) + "." +
                                 std::to_string(interfaceAddress & 0xFF),
                             port);
  if (fd_ < 0) return socketError(EBADF, what);
  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return socketError(errno, "setsockopt SO_REUSEADDR");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(interfaceAddress);
  address.sin_port = htons(port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return socketError(errno, what);
  }
  return Status::ok();
}

Status ListenSocket::listen(int backlog) {
  if (fd_ < 0) return socketError(EBADF, "listen");
  if (::listen(fd_, backlog) != 0) return socketError(errno, "listen");
  return Status::ok();
}

uint16_t ListenSocket::port() const {
  if (fd_ < 0) return 0;
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

AcceptResult ListenSocket::accept() {
  AcceptResult result;
  if (fd_ < 0) {
    result.error = EBADF;
    return result;
  }
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  if (fd < 0) {
    result.error = errno;
    result.outcome = classifyAcceptError(result.error);
    return result;
  }
  result.outcome = AcceptOutcome::ACCEPTED;
  result.socket = Socket(fd);
  result.peerAddress = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
  return result;
}

void ListenSocket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Status connectTcp(const std::string& host, uint16_t port, Socket* socket) {
  socket->close();
  const std::string what = "connect " + endpointText(host, port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (host == "localhost") {
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
      return socketError(EHOSTUNREACH, what);
    }
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
  }
  Socket connected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!connected.valid()) return socketError(errno, what);
  if (::connect(connected.descriptor(), reinterpret_cast<const sockaddr*>(&address),
                sizeof address) != 0) {
    if (errno != EINTR) return socketError(errno, what);
    // An interrupted connect goes on in the background: wait for it and take its result.
    pollfd wait{connected.descriptor(), POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&wait, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return socketError(errno, what);
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(connected.descriptor(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      return socketError(errno, what);
    }
    if (error != 0) return socketError(error, what);
  }
  *socket = std::move(connected);
  return Status::ok();
}

}  // namespace dovrel::platform
