// Seeds for the randomized tests.
#include "support/Seeds.h"

#include <stdlib.h>

#include <string>

namespace dovrel::testsupport {

std::vector<uint32_t> testSeeds(uint32_t fallback) {
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

}  // namespace dovrel::testsupport
