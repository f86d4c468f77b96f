// The one failure the client library reports: the connection could not be made or was lost,
// or the server sent bytes that are not a well-formed answer. The message is UTF-8 text for
// the user. Thrown and caught on the thread that uses the connection.
#pragma once

#include <stdexcept>
#include <string>

namespace dovrel::client {

class ClientError : public std::runtime_error {
 public:
  // `closedBeforeAnswer`: the server ended the connection cleanly before any byte of an
  // answer (what a halt looks like from the client's side).
  explicit ClientError(const std::string& message, bool closedBeforeAnswer = false)
      : std::runtime_error(message), closedBeforeAnswer_(closedBeforeAnswer) {}
  bool closedBeforeAnswer() const { return closedBeforeAnswer_; }

 private:
  bool closedBeforeAnswer_;
};

}  // namespace dovrel::client
