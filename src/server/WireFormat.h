// The framing of requests and answers on the wire, shared by the connection threads and the
// tests. Requests and answers carry the same three-line header:
//   "Format: TORV5\r\n" "Content-Length: " digits "\r\n" "Checksum: " 8 hex "\r\n" "\r\n"
// followed by the body. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/TextBuffer.h"

namespace dovrel::server {

inline constexpr std::string_view FORMAT_LINE = "Format: TORV5\r\n";
inline constexpr std::string_view LENGTH_FIELD = "Content-Length: ";
inline constexpr std::string_view CHECKSUM_FIELD = "Checksum: ";
inline constexpr std::string_view LINE_END = "\r\n";

// A request header is 55 fixed bytes plus 1 to 10 length digits. The reader stops at the
// 4th line feed or at the maximum, so an 11th digit makes the header invalid.
inline constexpr uint32_t REQUEST_HEADER_FIXED = 55;
inline constexpr uint32_t REQUEST_HEADER_MIN = REQUEST_HEADER_FIXED + 1;
inline constexpr uint32_t REQUEST_HEADER_MAX = REQUEST_HEADER_FIXED + 10;
inline constexpr int HEADER_LINE_FEEDS = 4;

// Bodies of unknown length are received, and answers sent, in pieces of at most this size.
inline constexpr uint32_t WIRE_PIECE = 65536;

// The validated fields of a request header.
struct RequestHeader {
  // Body length; 0 announces a quiet request: the body runs to the client's end of stream.
  uint32_t queryLength = 0;
  // CRC-32 of the body as the client computed it; not compared for a quiet request.
  uint32_t checksum = 0;

  bool quiet() const { return queryLength == 0; }
};

// How many of the bytes at the front of `bytes` (what has arrived of a request so far) are
// its header: up to and including the HEADER_LINE_FEEDS-th line feed, or REQUEST_HEADER_MAX
// when the first REQUEST_HEADER_MAX bytes hold fewer line feeds (then parseRequestHeader
// refuses them). 0 while `bytes` ends before either, so more must be received. Whatever
// follows the header is the body and then the next request.
uint32_t requestHeaderSize(std::string_view bytes);

// Checks the header bytes exactly as read (up to the 4th line feed or REQUEST_HEADER_MAX
// bytes). Leading zeros in the length are accepted; a length above 4294967295, a checksum
// digit other than 0-9 and upper-case A-F, or any misplaced byte is refused (false).
bool parseRequestHeader(std::string_view bytes, RequestHeader* header);

// Puts the answer header in front of the answer text in `answer`: its length in decimal
// and its CRC-32 in 8 upper-case hex digits. A quiet answer always carries the length "0"
// and the checksum "00000000", whatever its text.
void frameAnswer(TextBuffer& answer, bool quiet);

// The status lines a connection sends between answers while no answer is ready.
inline constexpr std::string_view STATUS_RECEIVING = "Receiving\r\n";
inline constexpr std::string_view STATUS_IN_QUEUE = "In queue\r\n";
inline constexpr std::string_view STATUS_RUNNING = "Running\r\n";
inline constexpr std::string_view STATUS_READY = "Ready\r\n";

}  // namespace dovrel::server
