// Request framing. Pure functions; any thread.
#include "client/RequestFrame.h"

#include <cstdint>
#include <cstdio>

#include "client/ClientError.h"
#include "foundation/Crc32.h"

namespace dovrel::client {

std::string buildQuery(std::string_view user, std::string_view password, std::string_view command) {
  std::string query;
  query.reserve(user.size() + password.size() + command.size() + 20);
  query.append("User: ").append(user).append("\r\n");
  query.append("Password: ").append(password).append("\r\n");
  query.append(command);
  return query;
}

std::string frameRequest(std::string_view body, RequestMode mode) {
  if (body.size() > UINT32_MAX) throw ClientError("request too large (4 GiB or more)");
  if (mode == RequestMode::KNOWN_LENGTH && body.empty()) {
    throw ClientError("an empty request cannot be sent with a known length");
  }
  const uint32_t length = mode == RequestMode::QUIET ? 0 : static_cast<uint32_t>(body.size());
  // The server does not compare a quiet request's checksum, but it must be 8 valid digits;
  // the real one costs nothing and helps when reading captures.
  char header[80];
  const int size = std::snprintf(
      header, sizeof header, "Format: TORV5\r\nContent-Length: %u\r\nChecksum: %08X\r\n\r\n",
      static_cast<unsigned>(length), static_cast<unsigned>(crc32(body.data(), body.size())));
  std::string request(header, static_cast<std::size_t>(size));
  request.append(body);
  return request;
}

}  // namespace dovrel::client
