// Merge tasks on hand-written chains: the newer record of a document wins, long keys go on
// across output clusters, progress survives being recorded and restored after every step,
// damaged records are refused, and the largest keys fit after any output cluster.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/ClusterMap.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/IndexTestSupport.h"
#include "index/MergeTask.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

// Key text -> record values in increasing (v | 1) order.
using Content = std::map<std::string, std::vector<uint32_t>>;

class MergeTaskTest : public testing::Test {
 protected:
  void SetUp() override {
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.create(dir_.file("t.index"), L));
    out_ = test::makeCluster(L, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
  }

  // Writes `content` as a chain, each cluster as full as it goes; a key whose values do
  // not fit goes on in the next cluster with bit 31 clear.
  std::unique_ptr<Chain> writeChain(const Content& content) {
    auto chain = std::make_unique<Chain>(&file_, L);
    ErrorCode error = EM_NO_ERRORS;
    auto flush = [&] {
      uint32_t number = test::take(map_, error);
      test::keep(error, file_.writeCluster(*out_, number));
      test::append(*chain, number, out_->firstKey(), out_->lastKey(), error);
      out_->clear();
    };
    out_->clear();
    for (const auto& [text, values] : content) {
      std::string k = key(text);
      for (std::size_t j = 0; j < values.size(); ++j) {
        uint32_t need = j == 0 || out_->isEmpty() ? uint32_t(k.size()) + 5 : 4;
        if (out_->freeBytes() < need) flush();
        if (j == 0) {
          out_->addKey(K(k), values[j] | KEY_MARKER);
        } else if (out_->isEmpty()) {
          out_->addKey(K(k), values[j]);
        } else {
          out_->addValue(values[j]);
        }
      }
    }
    if (!out_->isEmpty()) flush();
    EXPECT_EQ(error, EM_NO_ERRORS);
    return chain;
  }

  // A navigable chain over the same clusters as `chain`.
  std::unique_ptr<Chain> copyChain(const Chain& chain) {
    auto copy = std::make_unique<Chain>(&file_, L);
    ErrorCode error = EM_NO_ERRORS;
    for (uint32_t i = 0; i < chain.chainLength(); ++i) {
      test::append(*copy, chain.clusterNumber(i), chain.startKey(i), chain.finKey(i), error);
    }
    return copy;
  }

  // Everything a chain holds, read back through its clusters (which are validated).
  Content read(const Chain& chain) {
    auto copy = copyChain(chain);
    Content content;
    ErrorCode error = EM_NO_ERRORS;
    while (test::nextKey(*copy, error)) {
      std::vector<uint32_t>& values = content[test::text(copy->currentKey())];
      EXPECT_TRUE(values.empty()) << "a key appears twice";
      for (uint32_t v = test::nextValue(*copy, error); v != Chain::NO_VALUE;
           v = test::nextValue(*copy, error)) {
        values.push_back(v);
      }
    }
    EXPECT_EQ(error, EM_NO_ERRORS);
    return content;
  }

  // The merge of `older` and `newer` as the model sees it.
  static Content merged(const Content& older, const Content& newer) {
    std::map<std::string, std::map<uint32_t, uint32_t>> byDocument;
    for (const Content* side : {&older, &newer}) {
      for (const auto& [text, values] : *side) {
        for (uint32_t v : values) byDocument[text][v | 1] = v;
      }
    }
    Content out;
    for (const auto& [text, documents] : byDocument) {
      for (const auto& entry : documents) out[text].push_back(entry.second);
    }
    return out;
  }

  test::TempDir dir_{true};
  IndexFile file_;
  ClusterMap map_{file_};
  std::unique_ptr<Cluster> out_;
};

TEST_F(MergeTaskTest, ProgressRecordedAfterEveryStepRestoresToTheSameOutput) {
  Content older;
  Content newer;
  for (uint32_t d = 0; d < 40000; ++d) older["big"].push_back(2 * d);         // about 2.5 clusters
  for (uint32_t d = 0; d < 40000; d += 3) newer["big"].push_back(2 * d + 1);  // removals
  older["a"] = {2, 6, 10};
  newer["a"] = {7, 8};  // removes document 3, inserts 4
  older["z"] = {18};
  newer["m"] = {4};
  newer[std::string(255, '\xff')] = {1};
  auto source1 = writeChain(older);
  auto source2 = writeChain(newer);

  ErrorCode error = EM_NO_ERRORS;
  auto task = test::startTask(0, *source1, *source2, file_, error);
  ASSERT_NE(task, nullptr);
  uint32_t steps = 0;
  while (!task->done()) {
    ASSERT_EQ(test::advance(*task, 1, *out_, map_, error), 1u);
    ASSERT_EQ(error, EM_NO_ERRORS);
    ++steps;
    if (task->done()) break;
    // What a commit records and an open restores carries on identically.
    task = test::restoreTask(task->record(), copyChain(task->output()), *source1, *source2, error);
    ASSERT_NE(task, nullptr) << "step " << steps;
  }
  EXPECT_EQ(task->remainingWork(), 0u);
  const Chain& output = task->output();
  EXPECT_EQ(read(output), merged(older, newer));
  bool continued = false;
  for (uint32_t i = 1; i < output.chainLength(); ++i) {
    continued = continued || keyEqual(output.startKey(i), output.finKey(i - 1));
  }
  EXPECT_TRUE(continued);
  EXPECT_GE(steps, output.chainLength());
}

TEST_F(MergeTaskTest, DamagedProgressRecordsAreRefused) {
  Content older;
  Content newer;
  for (uint32_t d = 0; d < 20000; ++d) {
    older['k' + std::to_string(d % 500)].push_back(2 * d);
    newer['n' + std::to_string(d % 700)].push_back(2 * d);
  }
  auto source1 = writeChain(older);
  auto source2 = writeChain(newer);
  ErrorCode error = EM_NO_ERRORS;
  auto task = test::startTask(0, *source1, *source2, file_, error);
  test::advance(*task, 1, *out_, map_, error);
  ASSERT_EQ(error, EM_NO_ERRORS);
  const MergeTask::Record good = task->record();
  ASSERT_NE(test::restoreTask(good, copyChain(task->output()), *source1, *source2, error), nullptr);

  const std::vector<std::pair<MergeRecordField, uint32_t>> damages = {
      {MERGE_SOURCE1_POSITION, source1->chainLength() + 1},
      {MERGE_SOURCE1_KEY_OFFSET, good[MERGE_SOURCE1_KEY_OFFSET] + 1},  // inside a key
      {MERGE_SOURCE2_SLOT_DISTANCE, L},
      {MERGE_NEW_KEY, 1 - good[MERGE_NEW_KEY]},  // contradicts the pending records
      {MERGE_NEW_KEY, 2},
  };
  for (const auto& [field, value] : damages) {
    SCOPED_TRACE(field);
    MergeTask::Record bad = good;
    bad[field] = value;
    error = EM_NO_ERRORS;
    EXPECT_EQ(test::restoreTask(bad, copyChain(task->output()), *source1, *source2, error),
              nullptr);
    EXPECT_EQ(error, EM_BAD_DATA);
  }
  error = EM_NO_ERRORS;
  auto empty = std::make_unique<Chain>(&file_, L);
  EXPECT_EQ(test::restoreTask(good, std::move(empty), *source1, *source2, error), nullptr);
  EXPECT_EQ(error, EM_BAD_DATA);
}

// An output cluster may be left with exactly 260 free bytes; the next key may be one of
// 255 bytes, which needs 261 (its two length bytes and one value).
TEST_F(MergeTaskTest, KeyOf255BytesFitsAfterAnOutputClusterLeftWith260FreeBytes) {
  Content older;
  older[""] = {0};  // 6 bytes
  for (uint32_t i = 0; i <= 250; ++i) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%03u", i);
    std::string text = prefix;
    text.resize(255, 'x');
    older[text] = {2 * i + 2};  // 261 bytes each
  }
  // After the empty key and 250 long keys: 65516 - 6 - 250 x 261 = 260 bytes free.
  ASSERT_EQ(L - CLUSTER_HEADER_SIZE - 4 - 6 - 250 * 261, 260u);
  Content newer;
  newer[std::string(255, 'z')] = {1};
  auto source1 = writeChain(older);
  auto source2 = writeChain(newer);
  ErrorCode error = EM_NO_ERRORS;
  auto task = test::startTask(0, *source1, *source2, file_, error);
  test::advance(*task, 10, *out_, map_, error);
  ASSERT_EQ(error, EM_NO_ERRORS);
  ASSERT_TRUE(task->done());
  EXPECT_EQ(task->output().chainLength(), 2u);
  EXPECT_EQ(read(task->output()), merged(older, newer));
}

}  // namespace
}  // namespace dovrel::index
