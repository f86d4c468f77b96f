// CRC-32 as used on the wire, in documents-file records and in index clusters: reflected
// polynomial 0xEDB88320 (ISO-HDLC, Ethernet, PKZIP). The tables are built at compile time,
// so any number of threads may call these at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dovrel {

// One step of the running value, without the start value or the final complement:
// callers start with 0xFFFFFFFF and complement the final value.
uint32_t crc32Update(uint32_t running, const void* data, std::size_t length);

// The finished CRC-32 of a byte range: ~crc32Update(0xFFFFFFFF, data, length).
inline uint32_t crc32(const void* data, std::size_t length) {
  return ~crc32Update(0xFFFFFFFFu, data, length);
}

// The plain one-byte-at-a-time table routine; kept as the reference for tests and
// benchmarks.
uint32_t crc32UpdateBytewise(uint32_t running, const void* data, std::size_t length);

}  // namespace dovrel
