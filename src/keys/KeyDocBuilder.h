// KeyDocBuilder: gathers the (key ordinal, document) pairs of a sort index while its keys
// are walked in ascending order, and turns them into the NumPairList that orders results.
// Query thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "foundation/Poolable.h"
#include "keys/NumPairList.h"

namespace dovrel::index {

class KeyDocBuilder : public Poolable {
 public:
  // Records that `document` has the key with ordinal `ordinal` (the k-th key of the walk
  // has ordinal k, from 1; 0 is fatal). A document comes at most once per key. Throws
  // DiskOrMemoryError when out of memory.
  void add(uint32_t ordinal, uint32_t document);
  // The same for every document of a key (a getDocs batch).
  void addDocuments(uint32_t ordinal, std::span<const uint32_t> documents);
  // The pairs, sorted by document. The builder is empty afterwards.
  NumPairList build();

 private:
  std::vector<uint64_t> pairs_;
};

}  // namespace dovrel::index
