// The branch of a documents file that is held in memory: for each of its 16384 local ids
// the record's offset, length, CRC and deleted flag, and the conversion to and from the
// 262144-byte branch record. Owned by one documents file; one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace dovrel {

class DocumentsBranch {
 public:
  DocumentsBranch();  // an all-zero branch: no documents

  // Makes the branch all zero, as a branch that has no record in the file yet. Like
  // decode, it also restores a branch whose vectors were moved from.
  void clear();
  // Writes the branch record (BRANCH_RECORD_SIZE bytes) into `image` and returns the CRC-32
  // of the record.
  uint32_t encode(unsigned char* image) const;
  // Takes the branch from a branch record (BRANCH_RECORD_SIZE bytes).
  void decode(const unsigned char* image);

  // The memory one decoded branch holds, for the bound of the branch cache.
  static constexpr uint64_t MEMORY_BYTES = 16384 * (8 + 4 + 4 + 1);

  // Per local id; an offset of 0 means that no document has that number yet.
  std::vector<uint64_t> documentOffsets;
  std::vector<uint32_t> lengths;
  std::vector<uint32_t> crcs;
  std::vector<unsigned char> documentDeleted;
};

}  // namespace dovrel
