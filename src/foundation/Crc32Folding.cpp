// CRC-32 by carry-less multiplication: the message is folded, 16 bytes per lane, onto the
// bytes a fixed distance further on until one 16-byte remainder is left whose CRC (taken
// by the table routine) is the message's. Compiled for the instruction sets by function
// attribute and called only where the CPU has them (Crc32.cpp chooses); any thread.
//
// Folding. With the reflected polynomial, the first 8 bytes of a lane are its high-degree
// half. A lane A followed by D bits of message has the CRC of the message in which A is
// replaced by zeros and clmul(A.low, x^(D+31) mod P) ^ clmul(A.high, x^(D-33) mod P)
// (both constants bit-reflected, 32 bits) is added to the 16 bytes D bits later. The
// running value enters as the first 4 bytes' complement would: XORed into them.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "foundation/Crc32.h"

namespace dovrel::crc32_detail {

namespace {

// Bit-reflected x^(D+31) mod P and x^(D-33) mod P for the fold distances D.
constexpr uint64_t FOLD_128_LOW = 0xae689191;  // D = 128: lane onto the next lane
constexpr uint64_t FOLD_128_HIGH = 0xccaa009e;
constexpr uint64_t FOLD_512_LOW = 0x8f352d95;  // D = 512: four lanes on
constexpr uint64_t FOLD_512_HIGH = 0x1d9513d7;
constexpr uint64_t FOLD_2048_LOW = 0xce3371cb;  // D = 2048: sixteen lanes on
constexpr uint64_t FOLD_2048_HIGH = 0xe95c1271;

// The 16 bytes of `lane` as the message they stand for, continued by the table routine
// with `rest`.
uint32_t finishLane(const uint8_t lane[16], const uint8_t* rest, std::size_t length) {
  return crc32UpdateTable(crc32UpdateTable(0, lane, 16), rest, length);
}

__attribute__((target("sse4.1"))) inline __m128i load128(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

__attribute__((target("avx512f"))) inline __m512i load512(const uint8_t* at) {
  return _mm512_loadu_si512(at);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold128(__m128i lane, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

__attribute__((target("avx512f,avx512vl,vpclmulqdq"))) inline __m512i fold512(__m512i lanes,
                                                                              __m512i k,
                                                                              __m512i next) {
  // a ^ b ^ c in one instruction (truth table 0x96).
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00),
                                   _mm512_clmulepi64_epi128(lanes, k, 0x11), next, 0x96);
}

}  // namespace

__attribute__((target("pclmul,sse4.1"))) uint32_t updateClmul(uint32_t running, const void* data,
                                                              std::size_t length) {
  auto p = static_cast<const uint8_t*>(data);
  if (length < 64) return crc32UpdateTable(running, p, length);
  __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(running)));
  __m128i x1 = load128(p + 16);
  __m128i x2 = load128(p + 32);
  __m128i x3 = load128(p + 48);
  p += 64;
  length -= 64;
  const __m128i k512 = _mm_set_epi64x(FOLD_512_HIGH, FOLD_512_LOW);
  while (length >= 64) {
    x0 = _mm_xor_si128(fold128(x0, k512), load128(p));
    x1 = _mm_xor_si128(fold128(x1, k512), load128(p + 16));
    x2 = _mm_xor_si128(fold128(x2, k512), load128(p + 32));
    x3 = _mm_xor_si128(fold128(x3, k512), load128(p + 48));
    p += 64;
    length -= 64;
  }
  const __m128i k128 = _mm_set_epi64x(FOLD_128_HIGH, FOLD_128_LOW);
  __m128i x = _mm_xor_si128(fold128(x0, k128), x1);
  x = _mm_xor_si128(fold128(x, k128), x2);
  x = _mm_xor_si128(fold128(x, k128), x3);
  while (length >= 16) {
    x = _mm_xor_si128(fold128(x, k128), load128(p));
    p += 16;
    length -= 16;
  }
  alignas(16) uint8_t lane[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane), x);
  return finishLane(lane, p, length);
}

__attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1"))) uint32_t updateVclmul(
    uint32_t running, const void* data, std::size_t length) {
  auto p = static_cast<const uint8_t*>(data);
  if (length < 256) return updateClmul(running, p, length);
  // Four registers of four lanes: sixteen lanes, 256 bytes a round.
  __m512i z0 = _mm512_xor_si512(load512(p), _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                             0, 0, static_cast<int>(running)));
  __m512i z1 = load512(p + 64);
  __m512i z2 = load512(p + 128);
  __m512i z3 = load512(p + 192);
  p += 256;
  length -= 256;
  const __m512i k2048 =
      _mm512_set_epi64(FOLD_2048_HIGH, FOLD_2048_LOW, FOLD_2048_HIGH, FOLD_2048_LOW, FOLD_2048_HIGH,
                       FOLD_2048_LOW, FOLD_2048_HIGH, FOLD_2048_LOW);
  while (length >= 256) {
    z0 = fold512(z0, k2048, load512(p));
    z1 = fold512(z1, k2048, load512(p + 64));
    z2 = fold512(z2, k2048, load512(p + 128));
    z3 = fold512(z3, k2048, load512(p + 192));
    p += 256;
    length -= 256;
  }
  const __m512i k512 = _mm512_set_epi64(FOLD_512_HIGH, FOLD_512_LOW, FOLD_512_HIGH, FOLD_512_LOW,
                                        FOLD_512_HIGH, FOLD_512_LOW, FOLD_512_HIGH, FOLD_512_LOW);
  __m512i z = fold512(z0, k512, z1);
  z = fold512(z, k512, z2);
  z = fold512(z, k512, z3);
  while (length >= 64) {
    z = fold512(z, k512, load512(p));
    p += 64;
    length -= 64;
  }
  const __m128i k128 = _mm_set_epi64x(FOLD_128_HIGH, FOLD_128_LOW);
  alignas(64) uint8_t lanes[64];
  _mm512_store_si512(lanes, z);
  __m128i x = load128(lanes);
  x = _mm_xor_si128(fold128(x, k128), load128(lanes + 16));
  x = _mm_xor_si128(fold128(x, k128), load128(lanes + 32));
  x = _mm_xor_si128(fold128(x, k128), load128(lanes + 48));
  while (length >= 16) {
    x = _mm_xor_si128(fold128(x, k128), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    length -= 16;
  }
  alignas(16) uint8_t lane[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane), x);
  return finishLane(lane, p, length);
}

}  // namespace dovrel::crc32_detail
