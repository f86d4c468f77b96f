// The byte layout of a documents file: the constants and offsets that both the code that
// writes the file and the code that reads it use, and the 32-byte header. All integers are
// little-endian. Plain data and pure functions: any thread.
//
//   0x000000  header pages 0-3 (the header at the start of each 64 KiB page, zero after it)
//   0x040000  table set 0: branch offsets, free list, branch CRCs (65536 u32 each)
//   0x100000  table set 1: the same three tables
//   0x1C0000  branch records (page-aligned) and document records, appended as written
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace dovrel::documents_format {

static_assert(std::endian::native == std::endian::little,
              "documents files are read and written in the host's byte order");

inline constexpr uint32_t PAGE_SIZE = 65536;
inline constexpr uint32_t PAGE_SHIFT = 16;

inline constexpr uint32_t BRANCHES_AMOUNT = 65536;
inline constexpr uint32_t LOCAL_ID_BITS = 14;
inline constexpr uint32_t DOCUMENTS_PER_BRANCH = 1u << LOCAL_ID_BITS;  // 16384
inline constexpr uint32_t LOCAL_ID_MASK = DOCUMENTS_PER_BRANCH - 1;
inline constexpr uint32_t MAX_DOCUMENTS = 0x40000000;  // 2^30

inline constexpr uint32_t HEADER_PAGES = 4;
inline constexpr uint32_t HEADER_SIZE = 32;

// One table of a table set: one u32 per branch.
inline constexpr uint32_t TABLE_ENTRIES = BRANCHES_AMOUNT;
inline constexpr uint32_t TABLE_BYTES = TABLE_ENTRIES * 4;  // 262144
inline constexpr uint32_t TABLES_IN_SET = 3;
inline constexpr uint32_t TABLE_SET_BYTES = TABLES_IN_SET * TABLE_BYTES;  // 786432
inline constexpr uint32_t TABLE_SET_PAGES = TABLE_SET_BYTES / PAGE_SIZE;  // 12
inline constexpr uint32_t ALL_TABLE_PAGES = (1u << TABLE_SET_PAGES) - 1;
// Positions of the three tables, in u32 entries from the start of a table set.
inline constexpr uint32_t BRANCH_OFFSETS_TABLE = 0;
inline constexpr uint32_t FREE_LIST_TABLE = TABLE_ENTRIES;
inline constexpr uint32_t BRANCH_CRC_TABLE = 2 * TABLE_ENTRIES;

inline constexpr uint64_t TABLE_SET_0_OFFSET = 0x040000;
inline constexpr uint64_t TABLE_SET_1_OFFSET = 0x100000;
// Where branch and document records begin; the size of a new file.
inline constexpr uint64_t DATA_START = 0x1C0000;

// Branch record: per local id an u64 (record offset * 2 + deleted flag; 0 = no document),
// then an u32 record length, then an u32 CRC-32 of the record.
inline constexpr uint32_t BRANCH_OFFSETS_AT = 0x00000;
inline constexpr uint32_t BRANCH_LENGTHS_AT = 0x20000;
inline constexpr uint32_t BRANCH_CRCS_AT = 0x30000;
inline constexpr uint32_t BRANCH_RECORD_SIZE = 0x40000;  // 262144 = four pages

static_assert(HEADER_PAGES * PAGE_SIZE == TABLE_SET_0_OFFSET);
static_assert(TABLE_SET_0_OFFSET + TABLE_SET_BYTES == TABLE_SET_1_OFFSET);
static_assert(TABLE_SET_1_OFFSET + TABLE_SET_BYTES == DATA_START);
static_assert(BRANCH_CRCS_AT + DOCUMENTS_PER_BRANCH * 4 == BRANCH_RECORD_SIZE);
static_assert(uint64_t{BRANCHES_AMOUNT} * DOCUMENTS_PER_BRANCH == MAX_DOCUMENTS);

// Header page i lies at i * PAGE_SIZE. Pages 0 and 1 are written by the first commit phase,
// pages 2 and 3 by the second.
inline constexpr uint64_t headerPageOffset(uint32_t page) { return uint64_t{page} * PAGE_SIZE; }

// Selector 0 names table set 0; any other value names table set 1.
inline constexpr uint64_t tableSetOffset(uint32_t selector) {
  return selector == 0 ? TABLE_SET_0_OFFSET : TABLE_SET_1_OFFSET;
}

struct Header {
  uint64_t currentOffset = 0;  // logical end at the commit: where the next record goes
  uint32_t documentCount = 0;  // documents ever added, i.e. the next document number
  uint32_t deletedCount = 0;
  uint32_t freeCount = 0;  // entries in the free list
  uint32_t selector = 0;   // 0: table set 0, otherwise table set 1
  uint32_t tablesCrc = 0;  // CRC-32 of the three tables of the selected set, in order
  uint32_t reserved = 0;

  bool operator==(const Header&) const = default;
};

inline constexpr uint32_t HEADER_CURRENT_OFFSET_AT = 0;
inline constexpr uint32_t HEADER_DOCUMENT_COUNT_AT = 8;
inline constexpr uint32_t HEADER_DELETED_COUNT_AT = 12;
inline constexpr uint32_t HEADER_FREE_COUNT_AT = 16;
inline constexpr uint32_t HEADER_SELECTOR_AT = 20;
inline constexpr uint32_t HEADER_TABLES_CRC_AT = 24;
inline constexpr uint32_t HEADER_RESERVED_AT = 28;

inline void encodeHeader(const Header& h, unsigned char* to) {
  std::memcpy(to + HEADER_CURRENT_OFFSET_AT, &h.currentOffset, 8);
  std::memcpy(to + HEADER_DOCUMENT_COUNT_AT, &h.documentCount, 4);
  std::memcpy(to + HEADER_DELETED_COUNT_AT, &h.deletedCount, 4);
  std::memcpy(to + HEADER_FREE_COUNT_AT, &h.freeCount, 4);
  std::memcpy(to + HEADER_SELECTOR_AT, &h.selector, 4);
  std::memcpy(to + HEADER_TABLES_CRC_AT, &h.tablesCrc, 4);
  std::memcpy(to + HEADER_RESERVED_AT, &h.reserved, 4);
}

inline Header decodeHeader(const unsigned char* from) {
  Header h;
  std::memcpy(&h.currentOffset, from + HEADER_CURRENT_OFFSET_AT, 8);
  std::memcpy(&h.documentCount, from + HEADER_DOCUMENT_COUNT_AT, 4);
  std::memcpy(&h.deletedCount, from + HEADER_DELETED_COUNT_AT, 4);
  std::memcpy(&h.freeCount, from + HEADER_FREE_COUNT_AT, 4);
  std::memcpy(&h.selector, from + HEADER_SELECTOR_AT, 4);
  std::memcpy(&h.tablesCrc, from + HEADER_TABLES_CRC_AT, 4);
  std::memcpy(&h.reserved, from + HEADER_RESERVED_AT, 4);
  return h;
}

}  // namespace dovrel::documents_format
