// Fuzz target: the request header check of the connection threads, fed the bytes the
// reader would have collected (up to the 4th line feed or the maximum header length). An
// accepted header must have the shape the fields were read from; a header rebuilt from the
// fields in canonical form must be accepted with the same values.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "server/WireFormat.h"

using namespace dovrel;
using namespace dovrel::server;

namespace {

// What the reader thread hands to the check: the bytes up to the 4th line feed, at most
// REQUEST_HEADER_MAX of them.
std::string_view asCollected(std::string_view bytes) {
  int lineFeeds = 0;
  for (size_t i = 0; i < bytes.size() && i < REQUEST_HEADER_MAX; ++i) {
    if (bytes[i] == '\n' && ++lineFeeds == HEADER_LINE_FEEDS) return bytes.substr(0, i + 1);
  }
  return bytes.substr(0, REQUEST_HEADER_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes =
      asCollected(std::string_view(reinterpret_cast<const char*>(data), size));
  RequestHeader header;
  if (!parseRequestHeader(bytes, &header)) return 0;
  if (bytes.size() < REQUEST_HEADER_MIN || bytes.size() > REQUEST_HEADER_MAX) {
    fuzz::fail("accepted a header of impossible length");
  }
  if (bytes.substr(0, FORMAT_LINE.size()) != FORMAT_LINE ||
      bytes.substr(bytes.size() - 4) != "\r\n\r\n") {
    fuzz::fail("accepted a header with wrong fixed text");
  }
  char canonical[96];
  const int n = std::snprintf(
      canonical, sizeof canonical, "Format: TORV5\r\nContent-Length: %u\r\nChecksum: %08X\r\n\r\n",
      static_cast<unsigned>(header.queryLength), static_cast<unsigned>(header.checksum));
  RequestHeader again;
  if (!parseRequestHeader(std::string_view(canonical, static_cast<size_t>(n)), &again) ||
      again.queryLength != header.queryLength || again.checksum != header.checksum) {
    fuzz::fail("canonical form of an accepted header is refused or differs");
  }
  return 0;
}
