// Helpers shared by the tests of index keys and document-number lists: seeds for the
// randomized tests, keys as strings, and list contents as vectors. Test thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/Key.h"
#include "keys/DocNumList.h"
#include "support/Seeds.h"

namespace dovrel::index::test {

using testsupport::testSeeds;

// The bytes of a key, without its length byte.
inline std::string keyBytes(Key key) {
  return std::string(reinterpret_cast<const char*>(key + 1), key[0]);
}

inline std::vector<uint32_t> numbersOf(const DocNumList& list) {
  return std::vector<uint32_t>(list.begin(), list.end());
}

}  // namespace dovrel::index::test
