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
  documentOffsets.assign(DOCUMENTS_PER_BRANCH, 0);
  lengths.assign(DOCUMENTS_PER_BRANCH, 0);
  crcs.assign(DOCUMENTS_PER_BRANCH, 0);
  documentDeleted.assign(DOCUMENTS_PER_BRANCH, 0);
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
  // A branch whose vectors were moved away is whole again after a decode.
  documentOffsets.resize(DOCUMENTS_PER_BRANCH);
  lengths.resize(DOCUMENTS_PER_BRANCH);
  crcs.resize(DOCUMENTS_PER_BRANCH);
  documentDeleted.resize(DOCUMENTS_PER_BRANCH);
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
