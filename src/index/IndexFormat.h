// The byte layout of an index file: constants and offsets shared by every reader and writer
// of clusters, information blocks and the directory (docs/formats/index-file.md describes
// the same layout in prose). Pure constants and inline helpers; usable from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dovrel::index {

static_assert(std::endian::native == std::endian::little,
              "clusters are read through 32-bit views of little-endian bytes");

// --- File I/O units -------------------------------------------------------------------

// Unit of every read, write and position in an index file.
inline constexpr uint32_t INDEX_BUFFER_SIZE = 65536;
// Number of copies of the information block at the start of the file.
inline constexpr uint32_t INFO_SIZE = 4;
// Byte offset of cluster 0: the information area ends here.
inline constexpr uint64_t CLUSTER_AREA_OFFSET = uint64_t{INFO_SIZE} * INDEX_BUFFER_SIZE;
// Alignment of every buffer handed to the file, so unbuffered I/O needs no bounce copy.
inline constexpr std::size_t IO_ALIGNMENT = 4096;

// Cluster lengths are powers of two from 2^16 to 2^24 bytes.
inline constexpr uint32_t MIN_CLUSTER_SIZE_LOG = 16;
inline constexpr uint32_t MAX_CLUSTER_SIZE_LOG = 24;
inline constexpr uint32_t DEFAULT_CLUSTER_SIZE_LOG = 20;

// --- Keys and values --------------------------------------------------------------------

// A key is a length byte and that many bytes; it occupies length + 1 bytes when passed.
inline constexpr uint32_t MAX_KEY_LENGTH = 255;
// Bit 31 of a stored value: in a cluster it marks the first value of a key, in a pool run
// the last value of an entry, in the directory every value.
inline constexpr uint32_t KEY_MARKER = 0x80000000u;
// The 31 bits that carry a value.
inline constexpr uint32_t VALUE_MASK = 0x7FFFFFFFu;

// --- Cluster ---------------------------------------------------------------------------

inline constexpr uint32_t CLUSTER_HEADER_SIZE = 16;
// Header words (u32, little-endian) and their byte offsets from the start of the cluster.
inline constexpr std::size_t CLUSTER_KEY_END_OFFSET = 0;    // first byte after the key area
inline constexpr std::size_t CLUSTER_DATA_END_OFFSET = 4;   // next free value slot, in slots
inline constexpr std::size_t CLUSTER_CHECKSUM_OFFSET = 8;   // ~CRC-32 with this word zeroed
inline constexpr std::size_t CLUSTER_RESERVED_OFFSET = 12;  // always 0
// A key in the key area: length, bytes, length again.
inline constexpr uint32_t STORED_KEY_OVERHEAD = 2;
inline constexpr uint32_t VALUE_SLOT_SIZE = 4;
// The largest single entry: a 255-byte key, its two length bytes and one value.
inline constexpr uint32_t MAX_ENTRY_SIZE = MAX_KEY_LENGTH + STORED_KEY_OVERHEAD + VALUE_SLOT_SIZE;

// --- Information block -----------------------------------------------------------------

inline constexpr std::size_t INFO_CLUSTER_LENGTH_OFFSET = 0;
inline constexpr std::size_t INFO_MERGE_MULTIPLIER_OFFSET = 4;
inline constexpr std::size_t INFO_DIRECTORY_CLUSTER_OFFSET = 8;
// The rest of the block, from here to its end, is zero.
inline constexpr std::size_t INFO_USED_BYTES = 12;
inline constexpr uint32_t MIN_MERGE_MULTIPLIER = 2;
inline constexpr uint32_t MAX_MERGE_MULTIPLIER = 100;

// --- Directory -------------------------------------------------------------------------

// Value of the entry (empty key, value) that ends a chain, the list of chains, a merge's
// output chain and the list of merges.
inline constexpr uint32_t DIRECTORY_END = 0xFFFFFFFFu;
// Value of the entry that announces a continuation: the next entry's value, less bit 31,
// names the cluster in which the directory goes on.
inline constexpr uint32_t DIRECTORY_CONTINUED = 0xFFFFFFFEu;
// After the two entries of a chain cluster, fewer free bytes than this (data end position
// minus key end) move the directory on to a new cluster. Two more pairs of 255-byte keys,
// the list ends, one merge record and the continuation itself always fit below it.
inline constexpr uint32_t DIRECTORY_MIN_FREE = 620;
// Cluster numbers whose flagged form would read as DIRECTORY_END or DIRECTORY_CONTINUED
// cannot be stored; a file never grows that far (2^31 clusters of at least 64 KiB).
inline constexpr uint32_t MAX_DIRECTORY_CLUSTER_NUMBER = 0x7FFFFFFDu;

// The eleven numbers that record a merge in progress, in their stored order.
enum MergeRecordField : std::size_t {
  MERGE_SOURCE1_CHAIN = 0,   // index of the older source chain
  MERGE_SOURCE2_CHAIN,       // index of the newer source chain
  MERGE_SOURCE1_POSITION,    // cluster index reached in the first source
  MERGE_SOURCE2_POSITION,    // cluster index reached in the second source
  MERGE_SOURCE1_KEY_OFFSET,  // current key, bytes from the start of the key area
  MERGE_SOURCE2_KEY_OFFSET,
  MERGE_SOURCE1_SLOT_DISTANCE,  // current value slot, in slots below the last slot
  MERGE_SOURCE2_SLOT_DISTANCE,
  MERGE_SOURCE1_PENDING,  // value taken from the first source but not yet written
  MERGE_SOURCE2_PENDING,
  MERGE_NEW_KEY,  // 1 when the next value written starts a new key
  MERGE_RECORD_NUMBERS
};

// --- Merge pool ------------------------------------------------------------------------

// Bytes 0 to 15 of a pool buffer belong to no level; level i starts at 16 x 2^i.
inline constexpr uint32_t POOL_LEVEL0_SIZE = 16;
// A pool whose levels hold more than clusterLength - POOL_FULL_MARGIN bytes is poured out:
// room for one more entry of MAX_ENTRY_SIZE and the cluster header, with slack.
inline constexpr uint32_t POOL_FULL_MARGIN = 296;

// --- Byte helpers ----------------------------------------------------------------------

inline uint32_t loadU32(const void* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

inline void storeU32(void* bytes, uint32_t value) { std::memcpy(bytes, &value, sizeof value); }

// True when `length` is a cluster length the system writes: a power of two from 2^16 to
// 2^24 bytes.
inline constexpr bool isValidClusterLength(uint64_t length) {
  return length >= (uint64_t{1} << MIN_CLUSTER_SIZE_LOG) &&
         length <= (uint64_t{1} << MAX_CLUSTER_SIZE_LOG) && std::has_single_bit(length);
}

// The decoded information block.
struct InfoBlock {
  uint32_t clusterLength = 0;
  uint32_t mergeMultiplier = 0;
  uint32_t directoryCluster = 0;
};

// Writes `info` into a zero-filled block of INDEX_BUFFER_SIZE bytes.
inline void encodeInfoBlock(const InfoBlock& info, uint8_t* block) {
  std::memset(block, 0, INDEX_BUFFER_SIZE);
  storeU32(block + INFO_CLUSTER_LENGTH_OFFSET, info.clusterLength);
  storeU32(block + INFO_MERGE_MULTIPLIER_OFFSET, info.mergeMultiplier);
  storeU32(block + INFO_DIRECTORY_CLUSTER_OFFSET, info.directoryCluster);
}

// Reads the three fields of a block; the caller checks their ranges.
inline InfoBlock decodeInfoBlock(const uint8_t* block) {
  return InfoBlock{loadU32(block + INFO_CLUSTER_LENGTH_OFFSET),
                   loadU32(block + INFO_MERGE_MULTIPLIER_OFFSET),
                   loadU32(block + INFO_DIRECTORY_CLUSTER_OFFSET)};
}

}  // namespace dovrel::index
