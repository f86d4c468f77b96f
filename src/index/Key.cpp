// Key ordering: the total order of stored keys and the four-way comparison that positions
// searches. Pure functions; any thread.
#include "index/Key.h"

#include <algorithm>
#include <cstring>

#include "foundation/Assert.h"

namespace dovrel::index {

int keyCompareSentinels(Key key1, Key key2) {
  if (key1 == keyMin) {
    DOVREL_ASSERT(key1 != keyMin || key2 != keyMin);
    return -1;
  }
  if (key2 == keyMin) return 1;
  if (key1 == keyMax) {
    DOVREL_ASSERT(key1 != keyMax || key2 != keyMax);
    return 1;
  }
  if (key2 == keyMax) return -1;
  return realKeyCompare(key1, key2);
}

SearchCode keySearchCompare(Key stored, Key search) {
  uint32_t storedLength = stored[0];
  uint32_t searchLength = search[0];
  int order = std::memcmp(stored + 1, search + 1, std::min(storedLength, searchLength));
  if (order != 0) return order > 0 ? SEARCH_GREATER : SEARCH_SMALLER;
  if (storedLength == searchLength) return SEARCH_EQUAL;
  return storedLength > searchLength ? SEARCH_EXTENDS : SEARCH_SMALLER;
}

}  // namespace dovrel::index
