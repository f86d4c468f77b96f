// The client's connection. One thread at a time.
#include "client/ClientConnection.h"

#include <cstring>

#include "client/ClientError.h"

namespace dovrel::client {

std::size_t ClientConnection::SocketSource::receive(char* buffer, std::size_t capacity) {
  int error = 0;
  const long got = socket_.recv(buffer, capacity, &error);
  if (got < 0) {
    throw ClientError(std::string("connection lost: ") + std::strerror(error));
  }
  return static_cast<std::size_t>(got);
}

ClientConnection::ClientConnection(const std::string& host, uint16_t port)
    : source_(socket_), reader_(source_) {
  const platform::Status status = platform::connectTcp(host, port, &socket_);
  if (!status.isOk()) throw ClientError("cannot connect: " + status.toString());
}

void ClientConnection::send(std::string_view body, RequestMode mode) {
  const std::string request = frameRequest(body, mode);
  platform::Status status = socket_.sendAll(request.data(), request.size());
  if (status.isOk() && mode == RequestMode::QUIET) status = socket_.shutdownSend();
  if (!status.isOk()) throw ClientError("connection lost: " + status.toString());
}

Answer ClientConnection::receive(RequestMode mode, const StatusCallback& onStatus) {
  return reader_.read(mode, onStatus);
}

Answer ClientConnection::request(std::string_view body, RequestMode mode,
                                 const StatusCallback& onStatus) {
  send(body, mode);
  return receive(mode, onStatus);
}

}  // namespace dovrel::client
