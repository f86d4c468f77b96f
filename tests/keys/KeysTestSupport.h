// Helpers shared by the tests of index keys and document-number lists: seeds for the
// randomized tests, keys as strings, and list contents as vectors. Test thread only.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/Key.h"
#include "keys/DocNumList.h"

namespace dovrel::index::test {

// Seeds for a randomized test: DOVREL_TEST_SEED runs one, DOVREL_TEST_SEEDS=n runs 1..n,
// otherwise 1..`fallback`. Report the seed with SCOPED_TRACE so a failure names it.
inline std::vector<uint32_t> testSeeds(uint32_t fallback) {
  if (const char* one = ::getenv("DOVREL_TEST_SEED")) {
    return {static_cast<uint32_t>(std::stoul(one))};
  }
  uint32_t count = fallback;
  if (const char* many = ::getenv("DOVREL_TEST_SEEDS")) {
    count = static_cast<uint32_t>(std::stoul(many));
  }
  std::vector<uint32_t> seeds;
  for (uint32_t s = 1; s <= count; ++s) seeds.push_back(s);
  return seeds;
}

// The bytes of a key, without its length byte.
inline std::string keyBytes(Key key) {
  return std::string(reinterpret_cast<const char*>(key + 1), key[0]);
}

inline std::vector<uint32_t> numbersOf(const DocNumList& list) {
  return std::vector<uint32_t>(list.begin(), list.end());
}

}  // namespace dovrel::index::test
