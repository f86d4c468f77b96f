// Crashes at every write and sync of a commit, as a process death (what was written stays)
// and as a power loss (only what was synced stays): the interrupted first phase leaves the
// previous state to openAfterCommit, the interrupted second phase the new state to
// openNormal, and the recovered index goes on working.
#include <gtest/gtest.h>

#include <random>

#include "index/EngineCalls.h"
#include "index/MergeIndexModel.h"
#include "platform/FaultInjectionEnv.h"

namespace dovrel::index {
namespace {

using test::commit;
using test::indexMatches;
using test::K;
using test::key;
using test::Model;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

class MergeIndexCrashTest : public testing::Test {
 protected:
  void SetUp() override { platform::Env::setCurrent(&env_); }
  void TearDown() override { platform::Env::setCurrent(nullptr); }

  void insertSome(MergeIndex& index, Model& model, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      std::string text = std::to_string(rng_() % 3000);
      text.resize(100 + rng_() % 150, '-');
      uint32_t document = rng_() % 5000;
      InsertMode mode = rng_() % 5 == 0 ? InsertMode::REMOVE : InsertMode::INSERT;
      ErrorCode error = EM_NO_ERRORS;
      test::keep(error, index.insert(K(key(text)), document, mode));
      ASSERT_EQ(error, EM_NO_ERRORS);
      model.apply(text, document, mode);
    }
  }

  // The same committed state, then the same uncommitted changes, on every call: `before`
  // is the committed model and `after` the model with the changes.
  std::unique_ptr<MergeIndex> prepareState(Model& before, Model& after) {
    rng_.seed(7);
    ErrorCode error = EM_NO_ERRORS;
    auto index = test::createIndex(path_, L, 2, error);
    EXPECT_EQ(error, EM_NO_ERRORS);
    for (int round = 0; round < 3; ++round) {
      insertSome(*index, before, 1000);
      EXPECT_EQ(commit(*index), EM_NO_ERRORS);
    }
    after = before;
    insertSome(*index, after, 1000);
    return index;
  }

  // Crashes at the n-th call of `kind` from the start of the commit, for n = 1, 2, ...
  // until a commit completes; checks each crash's outcome.
  void crashEveryCall(platform::FaultKind kind, bool powerLoss) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n));
      env_.clearFaults();
      Model before;
      Model after;
      auto index = prepareState(before, after);
      ASSERT_NE(index, nullptr);
      env_.crashAt(kind, n);
      ErrorCode error = EM_NO_ERRORS;
      test::keep(error, index->commitPrepare());
      bool prepared = error == EM_NO_ERRORS;
      if (prepared) test::keep(error, index->commitFinish());
      if (!env_.crashed()) {
        ASSERT_EQ(error, EM_NO_ERRORS);
        ASSERT_GT(n, 2u);  // at least the two barriers were reached
        return;
      }
      index.reset();
      env_.clearFaults();
      if (powerLoss) {
        ASSERT_TRUE(env_.dropUnsyncedData().isOk());
      }

      // A first phase that did not complete leaves its marker: the table layer then opens
      // with openAfterCommit. After it completed, every open is openNormal.
      OpenMode mode = prepared ? OpenMode::openNormal : OpenMode::openAfterCommit;
      Model& expected = prepared ? after : before;
      error = EM_NO_ERRORS;
      index = test::openIndex(path_, mode, error);
      ASSERT_EQ(error, EM_NO_ERRORS);
      ASSERT_TRUE(indexMatches(*index, expected));

      // The recovered index takes new work and commits it over the old clusters.
      insertSome(*index, expected, 500);
      ASSERT_EQ(commit(*index), EM_NO_ERRORS);
      index.reset();
      index = test::openIndex(path_, OpenMode::openNormal, error);
      ASSERT_EQ(error, EM_NO_ERRORS);
      ASSERT_TRUE(indexMatches(*index, expected));
    }
  }

  platform::FaultInjectionEnv env_;
  test::TempDir dir_{true};
  std::string path_ = dir_.file("c.index");
  std::mt19937 rng_;
};

TEST_F(MergeIndexCrashTest, ProcessDiesAtEveryWriteOfACommit) {
  crashEveryCall(platform::FaultKind::WRITE, false);
}

TEST_F(MergeIndexCrashTest, PowerFailsAtEveryWriteOfACommit) {
  crashEveryCall(platform::FaultKind::WRITE, true);
}

TEST_F(MergeIndexCrashTest, PowerFailsAtEitherBarrier) {
  crashEveryCall(platform::FaultKind::SYNC, true);
}

// Each extension of the file by a commit: the pool's last chain, merge output, directory.
TEST_F(MergeIndexCrashTest, PowerFailsAtEveryExtensionOfACommit) {
  crashEveryCall(platform::FaultKind::TRUNCATE, true);
}

// Blocks 0 and 1 written but not synced, then the power fails: the in-commit marker makes
// the table layer use openAfterCommit, and a normal open of such a file is refused when the
// pair came back torn rather than trusted.
TEST_F(MergeIndexCrashTest, TornFirstPairIsRefusedByNormalOpen) {
  Model before;
  Model after;
  auto index = prepareState(before, after);
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, index->commitPrepare());
  ASSERT_EQ(error, EM_NO_ERRORS);
  index.reset();
  // As if block 1 had not reached the disk.
  std::string bytes = test::readFile(path_);
  std::string block2 = bytes.substr(2 * INDEX_BUFFER_SIZE, INDEX_BUFFER_SIZE);
  bytes.replace(INDEX_BUFFER_SIZE, INDEX_BUFFER_SIZE, block2);
  test::writeFile(path_, bytes);
  EXPECT_EQ(test::openIndex(path_, OpenMode::openNormal, error), nullptr);
  EXPECT_EQ(error, EM_BAD_DATA);
  error = EM_NO_ERRORS;
  index = test::openIndex(path_, OpenMode::openAfterCommit, error);
  ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_TRUE(indexMatches(*index, before));
}

// The new directory is damaged after the first phase: the normal open refuses it without
// touching blocks 2 and 3, so the previous state stays reachable.
TEST_F(MergeIndexCrashTest, RefusedOpenLeavesTheOtherPairIntact) {
  Model before;
  Model after;
  auto index = prepareState(before, after);
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, index->commitPrepare());
  ASSERT_EQ(error, EM_NO_ERRORS);
  index.reset();
  std::string bytes = test::readFile(path_);
  uint32_t directory =
      decodeInfoBlock(reinterpret_cast<const uint8_t*>(bytes.data())).directoryCluster;
  bytes[CLUSTER_AREA_OFFSET + uint64_t{directory} * L + 40] ^= 0x10;
  test::writeFile(path_, bytes);
  EXPECT_EQ(test::openIndex(path_, OpenMode::openNormal, error), nullptr);
  EXPECT_EQ(error, EM_BAD_DATA);
  error = EM_NO_ERRORS;
  index = test::openIndex(path_, OpenMode::openAfterCommit, error);
  ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_TRUE(indexMatches(*index, before));
}

}  // namespace
}  // namespace dovrel::index
