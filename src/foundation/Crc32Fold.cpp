// CRC-32 by carry-less multiplication: PCLMULQDQ on 128-bit lanes and, where the CPU has
// AVX-512, VPCLMULQDQ on 512-bit lanes. Each routine is compiled for its instructions only
// (target attributes), so the library runs on any x86-64; Crc32.cpp decides at run time
// which one may be called. No state: any number of threads may call at once.
//
// The arithmetic. A reflected CRC keeps polynomials bit-reversed: in a lane of 128 bits
// loaded from memory (little endian), bit j holds the coefficient of x^(127-j), so byte 0
// bit 0 is the highest power, as the message is sent. A lane followed by D more bits of
// message stands for L(x)*x^D, and the running value is (message * x^32) mod P.
//
// Folding. Split a lane into its low qword h (powers 127..64) and high qword l (63..0):
// L = h*x^64 + l. Moving it forward by d bits onto a later lane means adding
// L*x^d = h*x^(d+64) + l*x^d, and mod P this is h*(x^(d+64) mod P) + l*(x^d mod P), a
// polynomial below x^96 that fits the later lane. PCLMULQDQ of two qwords in this
// bit order yields their product times x (the product has 127 bits and lands one place
// high), so the constants are x^(d+63) mod P and x^(d-1) mod P; see foldPair below.
//
// Reducing the last lane V to the running value (V*x^32 mod P): twice replace its low
// qword's h*x^64 by h*(x^63 mod P)*x, which leaves a polynomial U of 64 bits in the high
// qword, then Barrett: with mu = floor(x^96 / P), the quotient of U*x^32 by P is
// q = floor(U*mu / x^64), and the remainder is the low 32 coefficients of q*P (U*x^32 has
// none there).
#include "foundation/Crc32Fold.h"

#include <immintrin.h>

#include <array>

#define DOVREL_TARGET_PCLMUL __attribute__((target("pclmul,sse4.1")))
#define DOVREL_TARGET_VPCLMUL \
  __attribute__((target("pclmul,sse4.1,avx2,avx512f,avx512vl,vpclmulqdq")))

namespace dovrel::crc32fold {

namespace {

constexpr uint32_t POLYNOMIAL = 0xEDB88320u;  // P without x^32, reflected

// x^n mod P, reflected into 32 bits (bit i is the coefficient of x^(31-i)): multiplying by
// x is a right shift, and a coefficient shifted out at x^32 comes back as P's low terms.
constexpr uint32_t xPowMod(unsigned n) {
  uint32_t value = 0x80000000u;  // x^0
  for (unsigned i = 0; i < n; ++i) value = (value & 1) ? (value >> 1) ^ POLYNOMIAL : value >> 1;
  return value;
}

// The qword multiplier for x^n mod P: in a qword bit i is the coefficient of x^(63-i), so
// the 32 reflected bits of a polynomial below x^32 sit in the upper half.
constexpr uint64_t qwordOf(unsigned n) { return uint64_t{xPowMod(n)} << 32; }

// The two multipliers that move a lane forward by `bits` bits: {for the low qword, for the
// high qword}. The extra x of the carry-less product is taken off the exponent.
constexpr std::array<uint64_t, 2> foldPair(unsigned bits) {
  return {qwordOf(bits + 63), qwordOf(bits - 1)};
}

// floor(x^96 / P) by long division in the usual (unreflected) order, then its coefficients
// of x^64 down to x^1 as a qword (bit i holds x^(64-i)): the product's extra x stands in
// for the dropped x^0, which cannot reach the quotient's powers of x^64 and up.
constexpr uint64_t barrettQuotientMultiplier() {
  using Wide = unsigned __int128;
  constexpr Wide P_NORMAL = 0x104C11DB7u;
  Wide rest = Wide{1} << 96;
  Wide quotient = 0;
  for (int degree = 96; degree >= 32; --degree) {
    if ((rest >> degree) & 1) {
      rest ^= P_NORMAL << (degree - 32);
      quotient |= Wide{1} << (degree - 32);
    }
  }
  uint64_t multiplier = 0;
  for (int i = 0; i < 64; ++i) multiplier |= uint64_t((quotient >> (64 - i)) & 1) << i;
  return multiplier;
}

// P itself as a qword: its 33 reflected bits (x^32 first) start at bit 31.
constexpr uint64_t P_QWORD = ((uint64_t{POLYNOMIAL} << 1) | 1) << 31;
constexpr uint64_t MU_QWORD = barrettQuotientMultiplier();

// x^n mod P for small n, worked by hand: x^32 mod P is P's low terms, and below x^32 a
// power is its own remainder.
static_assert(xPowMod(32) == POLYNOMIAL && xPowMod(31) == 1u && xPowMod(0) == 0x80000000u);
// mu has degree 64, so the qword starts with its leading coefficient.
static_assert((MU_QWORD & 1) == 1);

// Lane spacings: 4 lanes of 16 bytes, 4 lanes of 64 bytes, and the steps that merge them.
constexpr auto FOLD_128 = foldPair(128);
constexpr auto FOLD_256 = foldPair(256);
constexpr auto FOLD_384 = foldPair(384);
constexpr auto FOLD_512 = foldPair(512);
constexpr auto FOLD_1024 = foldPair(1024);
constexpr auto FOLD_1536 = foldPair(1536);
constexpr auto FOLD_2048 = foldPair(2048);
constexpr uint64_t REDUCE_64 = qwordOf(63);  // h*x^64 becomes h*(x^63 mod P)*x

// Per 128-bit part of a 512-bit lane: parts 0..2 move onto part 3, 48, 32 and 16 bytes on;
// part 3 is kept as it is (its multipliers are unused).
alignas(64) constexpr uint64_t MERGE_PARTS[8] = {FOLD_384[0], FOLD_384[1], FOLD_256[0],
                                                 FOLD_256[1], FOLD_128[0], FOLD_128[1], 0, 0};

DOVREL_TARGET_PCLMUL inline __m128i pair128(const std::array<uint64_t, 2>& pair) {
  return _mm_set_epi64x(static_cast<long long>(pair[1]), static_cast<long long>(pair[0]));
}

DOVREL_TARGET_PCLMUL inline __m128i load128(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane moved forward by the distance of `multipliers`, added to `onto`.
DOVREL_TARGET_PCLMUL inline __m128i fold128(__m128i lane, __m128i multipliers, __m128i onto) {
  __m128i low = _mm_clmulepi64_si128(lane, multipliers, 0x00);
  __m128i high = _mm_clmulepi64_si128(lane, multipliers, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), onto);
}

// The running value of a lane that ends where the folded bytes end.
DOVREL_TARGET_PCLMUL inline uint32_t reduce128(__m128i lane) {
  const __m128i reduce = _mm_set_epi64x(0, static_cast<long long>(REDUCE_64));
  const __m128i highQword = _mm_set_epi64x(-1, 0);
  // 128 bits to 96, then to 64, all in the high qword.
  lane = _mm_xor_si128(_mm_clmulepi64_si128(lane, reduce, 0x00), _mm_and_si128(lane, highQword));
  lane = _mm_xor_si128(_mm_clmulepi64_si128(lane, reduce, 0x00), _mm_and_si128(lane, highQword));
  const __m128i barrett =
      _mm_set_epi64x(static_cast<long long>(P_QWORD), static_cast<long long>(MU_QWORD));
  __m128i quotient = _mm_clmulepi64_si128(lane, barrett, 0x01);        // U * mu, q in low
  __m128i product = _mm_clmulepi64_si128(quotient, barrett, 0x10);     // q * P (times x)
  // The low 32 coefficients of q*P are bits 95..126 of the shifted product.
  return static_cast<uint32_t>(static_cast<uint64_t>(_mm_extract_epi64(product, 1)) >> 31);
}

// Folds [p, p + length) into one lane that ends after the last whole 16 bytes; `lane` has
// already taken the 16 bytes before p. Returns the running value there, the rest by table.
DOVREL_TARGET_PCLMUL inline uint32_t finish128(__m128i lane, const unsigned char* p,
                                               std::size_t length) {
  const __m128i step = pair128(FOLD_128);
  while (length >= 16) {
    lane = fold128(lane, step, load128(p));
    p += 16;
    length -= 16;
  }
  return updateTable(reduce128(lane), p, length);
}

}  // namespace

bool cpuHasPclmul128() {
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool cpuHasVpclmul512() {
  // The compiler's check of AVX-512 includes the operating system saving the registers.
  return cpuHasPclmul128() && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("vpclmulqdq");
}

DOVREL_TARGET_PCLMUL uint32_t updatePclmul128(uint32_t running, const unsigned char* p,
                                              std::size_t length) {
  if (length < 64) return updateTable(running, p, length);
  // The running value stands for the 32 highest powers, i.e. the first four bytes.
  __m128i a0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(running)));
  __m128i a1 = load128(p + 16);
  __m128i a2 = load128(p + 32);
  __m128i a3 = load128(p + 48);
  p += 64;
  length -= 64;
  const __m128i step = pair128(FOLD_512);
  while (length >= 64) {
    a0 = fold128(a0, step, load128(p));
    a1 = fold128(a1, step, load128(p + 16));
    a2 = fold128(a2, step, load128(p + 32));
    a3 = fold128(a3, step, load128(p + 48));
    p += 64;
    length -= 64;
  }
  __m128i lane = fold128(a0, pair128(FOLD_384), fold128(a1, pair128(FOLD_256), a3));
  lane = fold128(a2, pair128(FOLD_128), lane);
  return finish128(lane, p, length);
}

namespace {

DOVREL_TARGET_VPCLMUL inline __m512i load512(const unsigned char* p) {
  return _mm512_loadu_si512(p);
}

DOVREL_TARGET_VPCLMUL inline __m512i pair512(const std::array<uint64_t, 2>& pair) {
  return _mm512_broadcast_i32x4(pair128(pair));
}

DOVREL_TARGET_VPCLMUL inline __m512i fold512(__m512i lane, __m512i multipliers, __m512i onto) {
  __m512i low = _mm512_clmulepi64_epi128(lane, multipliers, 0x00);
  __m512i high = _mm512_clmulepi64_epi128(lane, multipliers, 0x11);
  return _mm512_ternarylogic_epi64(low, high, onto, 0x96);  // three-way exclusive or
}

}  // namespace

DOVREL_TARGET_VPCLMUL uint32_t updateVpclmul512(uint32_t running, const unsigned char* p,
                                                std::size_t length) {
  if (length < 256) return updatePclmul128(running, p, length);
  __m512i z0 = _mm512_xor_si512(load512(p), _mm512_maskz_set1_epi32(1, static_cast<int>(running)));
  __m512i z1 = load512(p + 64);
  __m512i z2 = load512(p + 128);
  __m512i z3 = load512(p + 192);
  p += 256;
  length -= 256;
  const __m512i step = pair512(FOLD_2048);
  while (length >= 256) {
    z0 = fold512(z0, step, load512(p));
    z1 = fold512(z1, step, load512(p + 64));
    z2 = fold512(z2, step, load512(p + 128));
    z3 = fold512(z3, step, load512(p + 192));
    p += 256;
    length -= 256;
  }
  __m512i z = fold512(z0, pair512(FOLD_1536), fold512(z1, pair512(FOLD_1024), z3));
  z = fold512(z2, pair512(FOLD_512), z);
  const __m512i step64 = pair512(FOLD_512);
  while (length >= 64) {
    z = fold512(z, step64, load512(p));
    p += 64;
    length -= 64;
  }
  // Parts 0..2 onto part 3: multiply all four, then add part 3 itself, not its product.
  const __m512i merge = _mm512_load_si512(MERGE_PARTS);
  __m512i moved = _mm512_xor_si512(_mm512_clmulepi64_epi128(z, merge, 0x00),
                                   _mm512_clmulepi64_epi128(z, merge, 0x11));
  __m128i lane = _mm_ternarylogic_epi64(_mm512_castsi512_si128(moved),
                                        _mm512_extracti32x4_epi32(moved, 1),
                                        _mm512_extracti32x4_epi32(moved, 2), 0x96);
  lane = _mm_xor_si128(lane, _mm512_extracti32x4_epi32(z, 3));
  return finish128(lane, p, length);
}

}  // namespace dovrel::crc32fold
