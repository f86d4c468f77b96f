// Building requests for the server: the login lines in front of a command, and the framed
// request header with the body's length and CRC-32. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::client {

enum class RequestMode {
  // Content-Length carries the body's length; any number of requests share a connection.
  KNOWN_LENGTH,
  // Content-Length is "0": the body runs until the client shuts down its sending side, and
  // the server answers once and closes. No status lines are sent.
  QUIET,
};

// "User: " user "\r\n" "Password: " password "\r\n" command. All bytes as given (the server
// expects code page 866).
std::string buildQuery(std::string_view user, std::string_view password, std::string_view command);

// The request header followed by the body. A known-length request cannot be empty (its
// length "0" would announce a quiet request): an empty body there throws ClientError, as
// does a body of 4 GiB or more.
std::string frameRequest(std::string_view body, RequestMode mode);

}  // namespace dovrel::client
