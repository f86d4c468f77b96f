// The merge pool's levels, its two-run merge and the shared scratch buffers. Called by the
// merge index on the query thread only.
//
// Levels form a binary counter: level i starts at byte 16 x 2^i and holds at most 16 x 2^i
// bytes of run; a lower level always holds newer entries than a higher one. Each insert
// carries the new entry up through the occupied levels, so a byte moves up at most once
// per level.
#include "index/MergePool.h"

#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/Assert.h"
#include "index/Cluster.h"

namespace dovrel::index {

namespace {

// The two buffers shared by all pools: `run` holds the current scratch run in
// [0, runSize); `other` receives a merge, after which the two swap.
struct Scratch {
  std::unique_ptr<uint8_t[]> run;
  std::unique_ptr<uint8_t[]> other;
  std::size_t capacity = 0;
  std::size_t runSize = 0;
  uint32_t users = 0;
};

Scratch& scratch() {
  // Never destroyed: a pool destroyed during static destruction (an index held by a static
  // object) still finds it. Its buffers are freed with the last pool.
  static Scratch* const shared = new Scratch;
  return *shared;
}

// Every run buffer (the pool's levels and the scratch pair) is this much longer than a
// cluster, so that a key may be read a word at a time past its end.
constexpr std::size_t READ_SLACK = 8;

// keyCompare for run entries: the bytes past a short key are read (and masked off), which
// the slack after every run buffer allows.
inline int runKeyCompare(const uint8_t* key1, const uint8_t* key2) {
  const uint32_t length1 = key1[0];
  const uint32_t length2 = key2[0];
  uint32_t common = length1 < length2 ? length1 : length2;
  const uint8_t* a = key1 + 1;
  const uint8_t* b = key2 + 1;
  for (;; common -= 8, a += 8, b += 8) {
    uint64_t wordA;
    uint64_t wordB;
    __builtin_memcpy(&wordA, a, 8);
    __builtin_memcpy(&wordB, b, 8);
    wordA = __builtin_bswap64(wordA);
    wordB = __builtin_bswap64(wordB);
    if (common < 8) {
      if (common == 0) break;
      const uint64_t mask = ~uint64_t{0} << (64 - 8 * common);
      wordA &= mask;
      wordB &= mask;
      if (wordA != wordB) return wordA < wordB ? -1 : 1;
      break;
    }
    if (wordA != wordB) return wordA < wordB ? -1 : 1;
  }
  if (length1 == length2) return 0;
  return length1 < length2 ? -1 : 1;
}

// Bytes of the run entry at `entry`: key, both length bytes and every value.
inline std::size_t entrySize(const uint8_t* entry) {
  const uint8_t* value = entry + entry[0] + STORED_KEY_OVERHEAD;
  while (!(loadU32(value) & KEY_MARKER)) value += VALUE_SLOT_SIZE;
  return static_cast<std::size_t>(value + VALUE_SLOT_SIZE - entry);
}

// Copies one entry. Most are a short word and one value: those move in two 16-byte
// pieces that may overlap, without a call.
inline void copyEntry(uint8_t* out, const uint8_t* from, std::size_t size) {
  if (size >= 16 && size <= 32) {
    uint8_t head[16];
    uint8_t tail[16];
    __builtin_memcpy(head, from, 16);
    __builtin_memcpy(tail, from + size - 16, 16);
    __builtin_memcpy(out, head, 16);
    __builtin_memcpy(out + size - 16, tail, 16);
  } else if (size >= 8 && size < 16) {
    uint64_t head;
    uint64_t tail;
    __builtin_memcpy(&head, from, 8);
    __builtin_memcpy(&tail, from + size - 8, 8);
    __builtin_memcpy(out, &head, 8);
    __builtin_memcpy(out + size - 8, &tail, 8);
  } else {
    std::memcpy(out, from, size);
  }
}

// Merges the scratch run (newer) with `older` into the other scratch buffer and makes the
// result the scratch run.
void mergeIntoScratch(const uint8_t* older, std::size_t olderSize) {
  Scratch& s = scratch();
  DOVREL_ASSERT(s.runSize + olderSize <= s.capacity);
  const uint8_t* a = s.run.get();
  const uint8_t* aEnd = a + s.runSize;
  const uint8_t* b = older;
  const uint8_t* bEnd = b + olderSize;
  uint8_t* out = s.other.get();
  while (a != aEnd || b != bEnd) {
    if (a == aEnd || b == bEnd) {
      // One run is used up: the rest of the other follows as it is.
      const uint8_t* rest = a == aEnd ? b : a;
      const std::size_t size = static_cast<std::size_t>((a == aEnd ? bEnd : aEnd) - rest);
      std::memcpy(out, rest, size);
      out += size;
      break;
    }
    int order = runKeyCompare(a, b);
    if (order != 0) {
      const uint8_t*& from = order < 0 ? a : b;
      std::size_t size = entrySize(from);
      copyEntry(out, from, size);
      out += size;
      from += size;
      continue;
    }
    std::size_t keyBytes = a[0] + STORED_KEY_OVERHEAD;
    std::memcpy(out, a, keyBytes);
    out += keyBytes;
    // Cursors into the two value lists; null once a list is exhausted.
    const uint8_t* va = a + keyBytes;
    const uint8_t* vb = b + keyBytes;
    uint8_t* lastWritten = nullptr;
    while (va != nullptr || vb != nullptr) {
      uint32_t valueA = va != nullptr ? loadU32(va) : 0;
      uint32_t valueB = vb != nullptr ? loadU32(vb) : 0;
      uint64_t orderA = va != nullptr ? ((valueA & VALUE_MASK) | 1) : UINT64_MAX;
      uint64_t orderB = vb != nullptr ? ((valueB & VALUE_MASK) | 1) : UINT64_MAX;
      bool takeA = orderA <= orderB;  // on a tie the newer record wins
      bool advanceB = orderB <= orderA;
      storeU32(out, (takeA ? valueA : valueB) & VALUE_MASK);
      lastWritten = out;
      out += VALUE_SLOT_SIZE;
      if (takeA) {
        if (valueA & KEY_MARKER) {
          a = va + VALUE_SLOT_SIZE;
          va = nullptr;
        } else {
          va += VALUE_SLOT_SIZE;
        }
      }
      if (advanceB) {
        if (valueB & KEY_MARKER) {
          b = vb + VALUE_SLOT_SIZE;
          vb = nullptr;
        } else {
          vb += VALUE_SLOT_SIZE;
        }
      }
    }
    storeU32(lastWritten, loadU32(lastWritten) | KEY_MARKER);
  }
  s.runSize = static_cast<std::size_t>(out - s.other.get());
  std::swap(s.run, s.other);
}

}  // namespace

ErrorCode MergePool::create(uint32_t clusterLength, std::unique_ptr<MergePool>& out) {
  DOVREL_ASSERT(isValidClusterLength(clusterLength));
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[clusterLength + READ_SLACK]);
  if (buffer == nullptr) {
    return EM_NO_MEMORY;
  }
  Scratch& s = scratch();
  if (s.capacity < clusterLength) {
    // A larger pool replaces the pair; a run still in the old pair has been taken already.
    std::unique_ptr<uint8_t[]> run(new (std::nothrow) uint8_t[clusterLength + READ_SLACK]);
    std::unique_ptr<uint8_t[]> other(new (std::nothrow) uint8_t[clusterLength + READ_SLACK]);
    if (run == nullptr || other == nullptr) {
      return EM_NO_MEMORY;
    }
    s.run = std::move(run);
    s.other = std::move(other);
    s.capacity = clusterLength;
    s.runSize = 0;
  }
  std::unique_ptr<MergePool> pool(new (std::nothrow) MergePool(clusterLength, std::move(buffer)));
  if (pool == nullptr) {
    if (s.users == 0) s = Scratch{};
    return EM_NO_MEMORY;
  }
  ++s.users;
  out = std::move(pool);
  return EM_NO_ERRORS;
}

MergePool::MergePool(uint32_t clusterLength, std::unique_ptr<uint8_t[]> buffer)
    : clusterLength_(clusterLength),
      buffer_(std::move(buffer)),
      levelCount_(static_cast<uint32_t>(std::countr_zero(clusterLength)) - 4) {}

MergePool::~MergePool() {
  Scratch& s = scratch();
  if (--s.users == 0) s = Scratch{};
}

bool MergePool::isEmpty() const {
  for (uint32_t i = 0; i < levelCount_; ++i) {
    if (levelSize_[i] != 0) return false;
  }
  return true;
}

bool MergePool::insert(Key key, uint32_t value) {
  DOVREL_ASSERT(value <= VALUE_MASK);
  Scratch& s = scratch();
  uint8_t* entry = s.run.get();
  uint32_t length = keyLength(key);
  entry[0] = static_cast<uint8_t>(length);
  std::memcpy(entry + 1, key + 1, length);
  entry[length + 1] = static_cast<uint8_t>(length);
  storeU32(entry + length + STORED_KEY_OVERHEAD, value | KEY_MARKER);
  s.runSize = length + STORED_KEY_OVERHEAD + VALUE_SLOT_SIZE;

  uint32_t target = levelCount_;
  for (uint32_t i = 0; i < levelCount_; ++i) {
    uint32_t capacity = POOL_LEVEL0_SIZE << i;
    if (levelSize_[i] != 0) {
      mergeIntoScratch(level(i), levelSize_[i]);
      levelSize_[i] = 0;
    }
    if (s.runSize <= capacity) {
      target = i;
      break;
    }
  }
  if (target == levelCount_) return true;  // every level merged into the scratch run
  std::memcpy(level(target), s.run.get(), s.runSize);
  levelSize_[target] = static_cast<uint32_t>(s.runSize);
  s.runSize = 0;

  uint64_t total = 0;
  for (uint32_t i = 0; i < levelCount_; ++i) total += levelSize_[i];
  if (total + POOL_FULL_MARGIN <= clusterLength_) return false;
  bool poured = pourOut();
  DOVREL_ASSERT(poured);
  return true;
}

bool MergePool::pourOut() {
  uint64_t total = 0;
  for (uint32_t i = 0; i < levelCount_; ++i) total += levelSize_[i];
  if (total == 0) return false;
  DOVREL_ASSERT_TEXT(total + CLUSTER_HEADER_SIZE < clusterLength_,
                     "size + CLUSTER_HEADER_SIZE < clusterLength");
  Scratch& s = scratch();
  s.runSize = 0;
  for (uint32_t i = 0; i < levelCount_; ++i) {
    if (levelSize_[i] == 0) continue;
    mergeIntoScratch(level(i), levelSize_[i]);
    levelSize_[i] = 0;
  }
  DOVREL_ASSERT_TEXT(s.runSize <= clusterLength_, "bufEnd - buffer <= (i32)clusterLength");
  return true;
}

void MergePool::fill(Cluster& cluster) {
  Scratch& s = scratch();
  DOVREL_ASSERT_TEXT(s.runSize > 0, "buffer < bufEnd");
  cluster.clear();
  const uint8_t* entry = s.run.get();
  const uint8_t* end = entry + s.runSize;
  while (entry != end) {
    const uint8_t* value = entry + entry[0] + STORED_KEY_OVERHEAD;
    uint32_t v = loadU32(value);
    cluster.addKey(entry, (v & VALUE_MASK) | KEY_MARKER);
    while (!(v & KEY_MARKER)) {
      value += VALUE_SLOT_SIZE;
      v = loadU32(value);
      cluster.addValue(v & VALUE_MASK);
    }
    entry = value + VALUE_SLOT_SIZE;
  }
}

}  // namespace dovrel::index
