// Seeds for the randomized tests: DOVREL_TEST_SEED runs one, DOVREL_TEST_SEEDS=n runs 1..n,
// otherwise 1..`fallback`. Report the seed with SCOPED_TRACE so that a failure names it.
#pragma once

#include <cstdint>
#include <vector>

namespace dovrel::testsupport {

std::vector<uint32_t> testSeeds(uint32_t fallback);

}  // namespace dovrel::testsupport
