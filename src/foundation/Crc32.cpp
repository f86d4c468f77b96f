// CRC-32 (reflected polynomial 0xEDB88320). The table routine reads 16 bytes per step
// with 16 tables ("slicing"); all tables are built by the compiler. crc32Update takes the
// carry-less routine of Crc32Folding.cpp where the CPU has the instructions, chosen once
// on first use (a thread-safe static), so any number of threads may call at once.
#include "foundation/Crc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace dovrel {

namespace {

constexpr uint32_t POLYNOMIAL = 0xEDB88320u;
constexpr int SLICES = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, SLICES>;

// tables[0] is the classic byte table. tables[k][b] is the running value's change for
// byte b followed by k zero bytes, so sixteen lookups advance the value by sixteen bytes.
constexpr CrcTables makeTables() {
  CrcTables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ POLYNOMIAL : crc >> 1;
    tables[0][b] = crc;
  }
  for (int k = 1; k < SLICES; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t prev = tables[k - 1][b];
      tables[k][b] = (prev >> 8) ^ tables[0][prev & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables TABLES = makeTables();

static_assert(TABLES[0][1] == 0x77073096u, "byte table of the reflected polynomial");
// The word loads below assemble values in memory order.
static_assert(std::endian::native == std::endian::little, "the fast CRC-32 assumes little endian");

inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);  // unaligned-safe; compiles to one load
  return v;
}

}  // namespace

uint32_t crc32UpdateBytewise(uint32_t running, const void* data, std::size_t length) {
  auto p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < length; ++i)
    running = (running >> 8) ^ TABLES[0][(running ^ p[i]) & 0xFF];
  return running;
}

uint32_t crc32UpdateTable(uint32_t running, const void* data, std::size_t length) {
  auto p = static_cast<const unsigned char*>(data);
  const auto& t = TABLES;
  while (length >= 16) {
    uint32_t a = load32(p) ^ running;
    uint32_t b = load32(p + 4);
    uint32_t c = load32(p + 8);
    uint32_t d = load32(p + 12);
    running = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    length -= 16;
  }
  return crc32UpdateBytewise(running, p, length);
}

namespace {

using Routine = uint32_t (*)(uint32_t, const void*, std::size_t);

Routine routineOf(Crc32Routine routine) {
  switch (routine) {
    case Crc32Routine::VCLMUL:
      return crc32_detail::updateVclmul;
    case Crc32Routine::CLMUL:
      return crc32_detail::updateClmul;
    case Crc32Routine::TABLE:
      break;
  }
  return crc32UpdateTable;
}

Crc32Routine bestRoutine() {
  if (crc32RoutineAvailable(Crc32Routine::VCLMUL)) return Crc32Routine::VCLMUL;
  if (crc32RoutineAvailable(Crc32Routine::CLMUL)) return Crc32Routine::CLMUL;
  return Crc32Routine::TABLE;
}

}  // namespace

bool crc32RoutineAvailable(Crc32Routine routine) {
  switch (routine) {
    case Crc32Routine::VCLMUL:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("pclmul") &&
             __builtin_cpu_supports("sse4.1");
    case Crc32Routine::CLMUL:
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    case Crc32Routine::TABLE:
      return true;
  }
  return false;
}

Crc32Routine crc32ChosenRoutine() {
  static const Crc32Routine chosen = bestRoutine();
  return chosen;
}

const char* crc32RoutineName(Crc32Routine routine) {
  switch (routine) {
    case Crc32Routine::VCLMUL:
      return "VPCLMULQDQ (512-bit)";
    case Crc32Routine::CLMUL:
      return "PCLMULQDQ (128-bit)";
    case Crc32Routine::TABLE:
      break;
  }
  return "table (16 bytes a step)";
}

uint32_t crc32UpdateWith(Crc32Routine routine, uint32_t running, const void* data,
                         std::size_t length) {
  return routineOf(routine)(running, data, length);
}

uint32_t crc32Update(uint32_t running, const void* data, std::size_t length) {
  static const Routine chosen = routineOf(crc32ChosenRoutine());
  return chosen(running, data, length);
}

}  // namespace dovrel
