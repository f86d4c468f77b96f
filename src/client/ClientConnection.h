// A connection to the server: sends framed requests and reads their answers. Known-length
// requests may follow one another on one connection; a quiet request is the only one on
// its connection. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/AnswerReader.h"
#include "client/RequestFrame.h"
#include "platform/Socket.h"

namespace dovrel::client {

class ClientConnection {
 public:
  // Connects to host:port; throws ClientError when that fails.
  ClientConnection(const std::string& host, uint16_t port);
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Sends one framed request. After a quiet one the sending side is shut down, which ends
  // its body. Throws ClientError when the connection is lost.
  void send(std::string_view body, RequestMode mode);
  // Reads the answer to the request sent last (see AnswerReader::read).
  Answer receive(RequestMode mode, const StatusCallback& onStatus = {});
  // send, then receive.
  Answer request(std::string_view body, RequestMode mode, const StatusCallback& onStatus = {});

  // The socket itself, for tests that misbehave on purpose.
  platform::Socket& socket() { return socket_; }

 private:
  class SocketSource final : public ByteSource {
   public:
    explicit SocketSource(platform::Socket& socket) : socket_(socket) {}
    std::size_t receive(char* buffer, std::size_t capacity) override;

   private:
    platform::Socket& socket_;
  };

  platform::Socket socket_;
  SocketSource source_;
  AnswerReader reader_;
};

}  // namespace dovrel::client
