// The in-memory branch and its branch record. Used by one documents file at a time.
#include "storage/DocumentsBranch.h"

#include <algorithm>
#include <cstring>

#include "foundation/Crc32.h"
#include "storage/DocumentsFileFormat.h"

namespace dovrel {

using namespace documents_format;

DocumentsBranch::DocumentsBranch()
    : documentOffsets(DOCUMENTS_PER_BRANCH),
      lengths(DOCUMENTS_PER_BRANCH),
      crcs(DOCUMENTS_PER_BRANCH),
      documentDeleted(DOCUMENTS_PER_BRANCH) {}

void DocumentsBranch::clear() {
  std::fill(documentOffsets.begin(), documentOffsets.end(), 0);
  std::fill(lengths.begin(), lengths.end(), 0);
  std::fill(crcs.begin(), crcs.end(), 0);
  std::fill(documentDeleted.begin(), documentDeleted.end(), 0);
}

uint32_t DocumentsBranch::encode(unsigned char* image) const {
  for (uint32_t id = 0; id < DOCUMENTS_PER_BRANCH; ++id) {
    const uint64_t entry = documentOffsets[id] * 2 + (documentDeleted[id] != 0 ? 1 : 0);
    std::memcpy(image + BRANCH_OFFSETS_AT + id * 8, &entry, 8);
  }
  std::memcpy(image + BRANCH_LENGTHS_AT, lengths.data(), DOCUMENTS_PER_BRANCH * 4);
  std::memcpy(image + BRANCH_CRCS_AT, crcs.data(), DOCUMENTS_PER_BRANCH * 4);
  return crc32(image, BRANCH_RECORD_SIZE);
}

void DocumentsBranch::decode(const unsigned char* image) {
  for (uint32_t id = 0; id < DOCUMENTS_PER_BRANCH; ++id) {
    uint64_t entry;
    std::memcpy(&entry, image + BRANCH_OFFSETS_AT + id * 8, 8);
    documentOffsets[id] = entry >> 1;
    documentDeleted[id] = static_cast<unsigned char>(entry & 1);
  }
  std::memcpy(lengths.data(), image + BRANCH_LENGTHS_AT, DOCUMENTS_PER_BRANCH * 4);
  std::memcpy(crcs.data(), image + BRANCH_CRCS_AT, DOCUMENTS_PER_BRANCH * 4);
}

}  // namespace dovrel
