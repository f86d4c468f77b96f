// CRC-32 as used on the wire, in documents-file records and in index clusters: reflected
// polynomial 0xEDB88320 (ISO-HDLC, Ethernet, PKZIP). The tables are built at compile time
// and the routine is chosen once, thread-safely, so any number of threads may call these
// at once.
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

// The routines crc32Update chooses from, once, by what the CPU offers: carry-less
// multiplication of 512-bit registers (VPCLMULQDQ with AVX-512), of 128-bit ones
// (PCLMULQDQ), or the table routine (16 bytes a step). All give the same values.
enum class Crc32Routine { TABLE, CLMUL, VCLMUL };
Crc32Routine crc32ChosenRoutine();
const char* crc32RoutineName(Crc32Routine routine);
// Whether this CPU can run `routine`; the table routine runs everywhere.
bool crc32RoutineAvailable(Crc32Routine routine);
// crc32Update by `routine`, which must be available (for tests and benchmarks).
uint32_t crc32UpdateWith(Crc32Routine routine, uint32_t running, const void* data,
                         std::size_t length);
// The table routine itself.
uint32_t crc32UpdateTable(uint32_t running, const void* data, std::size_t length);

namespace crc32_detail {
// The carry-less routines (Crc32Folding.cpp); callable only where available.
uint32_t updateClmul(uint32_t running, const void* data, std::size_t length);
uint32_t updateVclmul(uint32_t running, const void* data, std::size_t length);
}  // namespace crc32_detail

}  // namespace dovrel
