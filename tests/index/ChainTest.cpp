// Chains: multi-cluster runs with keys continued across clusters, navigated forwards,
// backwards and by find, against an in-memory model.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "index/Chain.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/IndexTestSupport.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;
using test::text;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

struct Entry {
  std::string k;  // stored form: length byte and bytes
  std::vector<uint32_t> values;
};

class ChainTest : public testing::Test {
 protected:
  void SetUp() override {
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.create(dir_.file("c.index"), L));
    cluster_ = test::makeCluster(L, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
  }

  // Writes `model` as a chain whose clusters take at most capacity() bytes of entries each
  // (and never more than fits); a key whose values do not fit goes on in the next cluster,
  // starting it with bit 31 clear, as a merge writes.
  std::unique_ptr<Chain> writeChain(const std::vector<Entry>& model,
                                    const std::function<uint32_t()>& capacity) {
    auto chain = std::make_unique<Chain>(&file_, L);
    ErrorCode error = EM_NO_ERRORS;
    uint32_t used = 0;
    uint32_t budget = capacity();
    auto flush = [&] {
      uint32_t number = test::append(file_, error);
      test::append(*chain, number, cluster_->firstKey(), cluster_->lastKey(), error);
      test::keep(error, file_.writeCluster(*cluster_, number));
      cluster_->clear();
      used = 0;
      budget = capacity();
    };
    cluster_->clear();
    for (const Entry& e : model) {
      for (std::size_t j = 0; j < e.values.size(); ++j) {
        auto need = [&] {
          return j == 0 || cluster_->isEmpty() ? uint32_t(e.k.size()) + 1 + 4 : 4u;
        };
        if (!cluster_->isEmpty() && (used + need() > budget || cluster_->freeBytes() < need())) {
          flush();
        }
        used += need();
        if (j == 0) {
          cluster_->addKey(K(e.k), e.values[j] | KEY_MARKER);
        } else if (cluster_->isEmpty()) {
          cluster_->addKey(K(e.k), e.values[j]);
        } else {
          cluster_->addValue(e.values[j]);
        }
      }
    }
    if (!cluster_->isEmpty()) flush();
    EXPECT_EQ(error, EM_NO_ERRORS);
    return chain;
  }

  // Every remaining value of the chain's current key.
  static std::vector<uint32_t> readValues(Chain& chain) {
    std::vector<uint32_t> out;
    ErrorCode error = EM_NO_ERRORS;
    for (uint32_t v = test::nextValue(chain, error); v != Chain::NO_VALUE;
         v = test::nextValue(chain, error)) {
      out.push_back(v);
    }
    EXPECT_EQ(error, EM_NO_ERRORS);
    return out;
  }

  test::TempDir dir_{true};
  IndexFile file_;
  std::unique_ptr<Cluster> cluster_;
};

std::vector<uint32_t> range(uint32_t from, uint32_t count) {
  std::vector<uint32_t> out(count);
  for (uint32_t i = 0; i < count; ++i) out[i] = from + 2 * i;
  return out;
}

TEST_F(ChainTest, KeyFillingTwoAndAHalfClustersReadsBackWhole) {
  const uint32_t perCluster = (L - CLUSTER_HEADER_SIZE) / 4;
  std::vector<Entry> model = {
      {key("a"), {3}}, {key("big"), range(10, perCluster * 5 / 2)}, {key("c"), {7, 9}}};
  auto chain = writeChain(model, [] { return L; });
  ASSERT_EQ(chain->chainLength(), 3u);
  EXPECT_EQ(text(chain->finKey(0)), "big");
  EXPECT_EQ(text(chain->startKey(1)), "big");
  EXPECT_EQ(text(chain->finKey(1)), "big");  // nothing but the continuation

  ErrorCode error = EM_NO_ERRORS;
  EXPECT_EQ(test::find(*chain, K(key("b")), error), SEARCH_EXTENDS);
  EXPECT_EQ(test::peekValue(*chain, error), 10u);
  EXPECT_EQ(readValues(*chain), model[1].values);  // across both cluster boundaries
  EXPECT_EQ(chain->currentPos(), 2);
  ASSERT_TRUE(test::nextKey(*chain, error));
  EXPECT_EQ(text(chain->currentKey()), "c");
  // Backwards, the long key is met at its beginning, so all its values follow again.
  ASSERT_TRUE(test::prevKey(*chain, error));
  EXPECT_EQ(text(chain->currentKey()), "big");
  EXPECT_EQ(chain->currentPos(), 0);
  EXPECT_EQ(readValues(*chain), model[1].values);
  ASSERT_TRUE(test::prevKey(*chain, error));  // from inside the continuation
  EXPECT_EQ(text(chain->currentKey()), "a");
  EXPECT_FALSE(test::prevKey(*chain, error));
  EXPECT_EQ(chain->currentKey(), keyMin);
  EXPECT_EQ(error, EM_NO_ERRORS);
}

TEST_F(ChainTest, PastTheLastKeyIsDecidedWithoutReading) {
  IndexFile closed;  // any read would fail with EM_NOT_OPEN
  Chain chain(&closed, L);
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_FALSE(test::nextKey(chain, error));
  EXPECT_EQ(test::find(chain, K(key("a")), error), SEARCH_SMALLER);  // empty chain
  chain.release();
  test::append(chain, 0, K(key("a")), K(key("m")), error);
  EXPECT_EQ(test::find(chain, K(key("n")), error), SEARCH_SMALLER);
  EXPECT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(chain.currentKey(), keyMax);
  EXPECT_FALSE(test::nextKey(chain, error));
  EXPECT_FALSE(test::prevKey(chain, error));
  EXPECT_EQ(error, EM_NOT_OPEN);
}

TEST_F(ChainTest, ClusterThatDisagreesWithItsKeysIsBadData) {
  auto chain = writeChain({{key("a"), {1}}, {key("b"), {2}}}, [] { return 8u; });
  ASSERT_EQ(chain->chainLength(), 2u);
  Chain lying(&file_, L);
  ErrorCode error = EM_NO_ERRORS;
  test::append(lying, chain->clusterNumber(1), K(key("a")), K(key("a")), error);
  EXPECT_FALSE(test::nextKey(lying, error));
  EXPECT_EQ(error, EM_BAD_DATA);
}

// Random sorted runs with keys of up to 12 bytes over a small alphabet (so prefixes abound),
// some keys with hundreds of values, written into clusters of random small capacities.
std::vector<Entry> randomModel(std::mt19937& rng) {
  std::vector<std::string> keys;
  for (uint32_t n = 1 + rng() % 300; n > 0; --n) {
    std::string t(rng() % 13, 'a');
    for (char& ch : t) ch = "ab\xff"[rng() % 3];
    keys.push_back(key(t));
  }
  std::sort(keys.begin(), keys.end(),
            [](const std::string& a, const std::string& b) { return keyCompare(K(a), K(b)) < 0; });
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<Entry> model;
  for (const std::string& k : keys) {
    uint32_t count = rng() % 10 == 0 ? 100 + rng() % 1500 : 1 + rng() % 4;
    uint32_t v = rng() % 1000;
    Entry e{k, {}};
    for (uint32_t i = 0; i < count; ++i) e.values.push_back(v += 1 + rng() % 3);
    model.push_back(std::move(e));
  }
  return model;
}

TEST_F(ChainTest, RandomChainsMatchTheModel) {
  std::vector<uint32_t> seeds = test::testSeeds(25);
  uint32_t continuedKeys = 0;
  for (uint32_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<Entry> model = randomModel(rng);
    auto chain = writeChain(model, [&] { return 64 + rng() % 3000; });
    for (uint32_t i = 1; i < chain->chainLength(); ++i) {
      continuedKeys += keyEqual(chain->finKey(i - 1), chain->startKey(i));
    }
    const int32_t n = static_cast<int32_t>(model.size());
    ErrorCode error = EM_NO_ERRORS;

    // Forwards, then backwards from the end, reading every key's values: one by one, or
    // some one by one and the rest at once (takeValues, across continuations too).
    for (const Entry& e : model) {
      ASSERT_TRUE(test::nextKey(*chain, error));
      ASSERT_EQ(text(chain->currentKey()), text(K(e.k)));
      if (rng() % 2 == 0) {
        ASSERT_EQ(readValues(*chain), e.values);
        continue;
      }
      const std::size_t single = rng() % (e.values.size() + 1);
      std::vector<uint32_t> values;
      for (std::size_t i = 0; i < single; ++i) values.push_back(test::nextValue(*chain, error));
      test::keep(error, chain->takeValues(values));
      ASSERT_EQ(values, e.values);
    }
    EXPECT_FALSE(test::nextKey(*chain, error));
    for (int32_t i = n - 1; i >= 0; --i) {
      ASSERT_TRUE(test::prevKey(*chain, error));
      ASSERT_EQ(text(chain->currentKey()), text(K(model[i].k)));
      ASSERT_EQ(readValues(*chain), model[i].values);
    }
    EXPECT_FALSE(test::prevKey(*chain, error));

    // find, then a random walk in both directions with partial value reads.
    for (uint32_t probe = 0; probe < 40; ++probe) {
      std::string t = text(K(model[rng() % n].k));
      t.resize(rng() % (t.size() + 2), 'b');
      std::string k = key(t);
      auto it = std::lower_bound(
          model.begin(), model.end(), k,
          [](const Entry& e, const std::string& s) { return keyCompare(K(e.k), K(s)) < 0; });
      int32_t at = static_cast<int32_t>(it - model.begin());
      SearchCode expected = at == n ? SEARCH_SMALLER : keySearchCompare(K(it->k), K(k));
      ASSERT_EQ(test::find(*chain, K(k), error), expected) << "probe «" << t << "»";
      for (uint32_t step = 0; step < 6; ++step) {
        if (at >= 0 && at < n) {
          ASSERT_EQ(text(chain->currentKey()), text(K(model[at].k)));
          std::size_t taken = rng() % (model[at].values.size() + 1);
          for (std::size_t i = 0; i < taken; ++i)
            ASSERT_EQ(test::nextValue(*chain, error), model[at].values[i]);
        }
        if (rng() % 2) {
          ASSERT_EQ(test::nextKey(*chain, error), at + 1 < n);
          at = std::min(at + 1, n);
        } else {
          ASSERT_EQ(test::prevKey(*chain, error), at - 1 >= 0);
          at = std::max(at - 1, -1);
        }
      }
    }
    ASSERT_EQ(error, EM_NO_ERRORS);
    chain->release();
    file_.close();
    test::keep(error, file_.create(dir_.file("c.index"), L));
  }
  EXPECT_GE(continuedKeys, seeds.size());
}

}  // namespace
}  // namespace dovrel::index
