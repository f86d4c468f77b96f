// Index keys: a length byte (0 to 255) followed by that many bytes, ordered bytewise, and
// the two sentinels below every key and above every key. Pure functions; usable from any
// thread.
#pragma once

#include <bit>
#include <cstdint>

namespace dovrel::index {

static_assert(std::endian::native == std::endian::little, "realKeyCompare loads words");

// A key is passed as a pointer to its length byte; it occupies keyLength(key) + 1 bytes.
using Key = const uint8_t*;

namespace key_detail {
// Storage whose only use is to give the sentinels two distinct addresses. No key lives
// here and nothing reads it.
inline constexpr uint8_t SENTINELS[2] = {0, 0};
}  // namespace key_detail

// Smaller than every key: "before the first key". Never dereferenced.
inline constexpr Key keyMin = &key_detail::SENTINELS[0];
// Greater than every key: "after the last key". Never dereferenced.
inline constexpr Key keyMax = &key_detail::SENTINELS[1];

inline bool isRealKey(Key key) { return key != keyMin && key != keyMax; }
inline uint32_t keyLength(Key key) { return key[0]; }
// Bytes the key occupies when passed or copied: the length byte and the key bytes.
inline uint32_t keySize(Key key) { return uint32_t{key[0]} + 1; }

// -1, 0 or 1 as the real keys key1 and key2 (no sentinel) compare: bytewise, the shorter
// first on a common prefix. Inline because the pool and the merges compare keys in their
// innermost loops; eight bytes at a time, most keys differ in the first word.
inline int realKeyCompare(Key key1, Key key2) {
  const uint32_t length1 = key1[0];
  const uint32_t length2 = key2[0];
  uint32_t common = length1 < length2 ? length1 : length2;
  const uint8_t* a = key1 + 1;
  const uint8_t* b = key2 + 1;
  for (; common >= 8; common -= 8, a += 8, b += 8) {
    uint64_t wordA;
    uint64_t wordB;
    __builtin_memcpy(&wordA, a, 8);
    __builtin_memcpy(&wordB, b, 8);
    if (wordA != wordB) {
      // The first differing byte decides: in big-endian order it is the most significant.
      return __builtin_bswap64(wordA) < __builtin_bswap64(wordB) ? -1 : 1;
    }
  }
  for (; common > 0; --common, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  if (length1 == length2) return 0;
  return length1 < length2 ? -1 : 1;
}

// Whether the real keys key1 and key2 are equal.
inline bool realKeyEqual(Key key1, Key key2) {
  uint32_t length = key1[0];
  if (length != key2[0]) return false;
  const uint8_t* a = key1 + 1;
  const uint8_t* b = key2 + 1;
  for (; length >= 8; length -= 8, a += 8, b += 8) {
    uint64_t wordA;
    uint64_t wordB;
    __builtin_memcpy(&wordA, a, 8);
    __builtin_memcpy(&wordB, b, 8);
    if (wordA != wordB) return false;
  }
  if (length >= 4) {
    // Two four-byte pieces that may overlap cover the 4 to 7 bytes left.
    uint32_t headA, headB, tailA, tailB;
    __builtin_memcpy(&headA, a, 4);
    __builtin_memcpy(&headB, b, 4);
    __builtin_memcpy(&tailA, a + length - 4, 4);
    __builtin_memcpy(&tailB, b + length - 4, 4);
    return headA == headB && tailA == tailB;
  }
  for (; length > 0; --length, ++a, ++b) {
    if (*a != *b) return false;
  }
  return true;
}

// -1, 0 or 1 as key1 is smaller than, equal to or greater than key2. Either may be a
// sentinel, but not both the same one (a broken invariant: fatal).
int keyCompareSentinels(Key key1, Key key2);
inline int keyCompare(Key key1, Key key2) {
  if (isRealKey(key1) && isRealKey(key2)) return realKeyCompare(key1, key2);
  return keyCompareSentinels(key1, key2);
}

// Result of comparing a stored key K against a search key S (both real keys). The codes
// 0, 1 and 2 order the keys they stand for: every key with code 0 is smaller than every
// key with code 1, and those are smaller than every key with code 2.
enum SearchCode : int {
  SEARCH_EQUAL = 0,    // K equals S
  SEARCH_EXTENDS = 1,  // S is a proper prefix of K
  SEARCH_GREATER = 2,  // K is greater than S by a differing byte
  SEARCH_SMALLER = 3,  // K is smaller than S
};
SearchCode keySearchCompare(Key stored, Key search);

inline bool keyEqual(Key key1, Key key2) {
  if (isRealKey(key1) && isRealKey(key2)) return realKeyEqual(key1, key2);
  return keyCompareSentinels(key1, key2) == 0;
}

}  // namespace dovrel::index
