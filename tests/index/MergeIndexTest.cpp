// The merge index's fixed cases: visibility of removals in the three search modes, the
// document number limit, the bytes of a new file, damaged information blocks and
// directories, searches past the end, optimize, merges in progress across commits, a
// merge whose first step failed, and a committed merge that has written nothing yet.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "foundation/Crc32.h"
#include "index/Cluster.h"
#include "index/Directory.h"
#include "index/DirectoryWriter.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/MergeIndexModel.h"
#include "platform/FaultInjectionEnv.h"

namespace dovrel::index {
namespace {

using test::commit;
using test::currentKeyText;
using test::indexMatches;
using test::K;
using test::key;
using test::Model;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

class MergeIndexTest : public testing::Test {
 protected:
  void TearDown() override { platform::Env::setCurrent(nullptr); }

  std::unique_ptr<MergeIndex> create(uint32_t multiplier = 2) {
    ErrorCode error = EM_NO_ERRORS;
    auto index = test::createIndex(path_, L, multiplier, error);
    EXPECT_EQ(error, EM_NO_ERRORS);
    return index;
  }
  std::unique_ptr<MergeIndex> open(OpenMode mode, ErrorCode expected = EM_NO_ERRORS) {
    ErrorCode error = EM_NO_ERRORS;
    auto index = test::openIndex(path_, mode, error);
    EXPECT_EQ(error, expected);
    return index;
  }
  void insert(MergeIndex& index, const std::string& text, uint32_t document,
              InsertMode mode = InsertMode::INSERT) {
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, index.insert(K(key(text)), document, mode));
    ASSERT_EQ(error, EM_NO_ERRORS);
    model_.apply(text, document, mode);
  }
  // Keys of 200 bytes, so that few records fill a 64 KiB cluster.
  static std::string longKey(uint32_t i) {
    std::string text = "k";
    text += std::to_string(i);
    text.resize(200, '.');
    return text;
  }

  // Rewrites the committed directory after `change` into fresh clusters and points every
  // information block at it. `change` is told the cluster the new directory starts in.
  void rewriteDirectory(const std::function<void(Directory&, uint32_t)>& change) {
    IndexFile file;
    ErrorCode error = EM_NO_ERRORS;
    test::open(file, path_, error);
    auto buffer = test::makeCluster(L, error);
    auto block = test::allocate(INDEX_BUFFER_SIZE, error);
    test::keep(error, file.readInfo(block.data(), 0));
    InfoBlock info = decodeInfoBlock(block.data());
    Directory directory;
    test::readDirectory(file, *buffer, info.directoryCluster, &directory, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    change(directory, file.clusterNum());
    info.directoryCluster = test::append(file, error);
    DirectoryWriter writer(file, *buffer, info.directoryCluster,
                           [&](uint32_t& number) { return file.append(number); });
    auto addChain = [&](const DirectoryChain& chain) {
      for (const auto& c : chain.clusters)
        test::keep(error, writer.addChainCluster(c.number, c.start(), c.fin()));
      writer.endList();
    };
    for (const auto& chain : directory.chains) addChain(chain);
    writer.endList();
    for (const auto& merge : directory.merges) {
      writer.addMerge(merge.numbers);
      addChain(merge.output);
    }
    writer.endList();
    test::keep(error, writer.finish());
    encodeInfoBlock(info, block.data());
    for (uint32_t i = 0; i < INFO_SIZE; ++i) test::keep(error, file.writeInfo(block.data(), i));
    ASSERT_EQ(error, EM_NO_ERRORS);
  }

  test::TempDir dir_{true};
  std::string path_ = dir_.file("m.index");
  Model model_;
};

TEST_F(MergeIndexTest, RemovalAfterCommitIsShownByModeRemovedOnly) {
  auto index = create();
  insert(*index, "k", 7);
  insert(*index, "j", 3);
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  insert(*index, "k", 7, InsertMode::REMOVE);
  // The insertion sits in a committed chain and the removal in a newer one.
  EXPECT_TRUE(indexMatches(*index, model_));
  ErrorCode error = EM_NO_ERRORS;
  ASSERT_FALSE(test::startSearch(*index, SearchMode::PRESENT, error));
  EXPECT_EQ(currentKeyText(*index), "j");
  EXPECT_TRUE(test::nextKey(*index, error));
  index->endSearch();
  ASSERT_EQ(test::findKey(*index, K(key("k")), SearchMode::REMOVED, error), SEARCH_EQUAL);
  EXPECT_EQ(test::allDocs(*index, error), std::vector<uint32_t>{7});
  index->endSearch();

  // Inserted again: the newest record decides, in the pool and after a merge alike.
  insert(*index, "k", 7);
  EXPECT_TRUE(indexMatches(*index, model_));
  while (test::optimize(*index, error) == OptimizeResult::MORE) ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(index->chainNum(), 1u);
  EXPECT_TRUE(indexMatches(*index, model_));
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  index->destroy();
  EXPECT_TRUE(indexMatches(*open(OpenMode::openNormal), model_));
}

TEST_F(MergeIndexTest, DocumentNumbersStopBelowTwoToTheThirty) {
  auto index = create();
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, index->insert(K(key("x")), 1u << 30, InsertMode::INSERT));
  EXPECT_EQ(error, EM_DOC_TOO_LARGE);
  EXPECT_EQ(index->state(), STATE_AFTER_COMMIT);  // nothing changed
  insert(*index, "x", (1u << 30) - 1);
  insert(*index, "x", (1u << 30) - 1, InsertMode::REMOVE);
  insert(*index, "y", (1u << 30) - 1);
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  index->destroy();
  EXPECT_TRUE(indexMatches(*open(OpenMode::openNormal), model_));
}

TEST_F(MergeIndexTest, NewFileHoldsFourEqualBlocksAndAnEmptyDirectory) {
  create(7)->destroy();
  std::string bytes = test::readFile(path_);
  ASSERT_EQ(bytes.size(), CLUSTER_AREA_OFFSET + L);
  for (uint32_t i = 1; i < INFO_SIZE; ++i) {
    EXPECT_EQ(bytes.compare(i * INDEX_BUFFER_SIZE, INDEX_BUFFER_SIZE, bytes, 0, INDEX_BUFFER_SIZE),
              0);
  }
  InfoBlock info = decodeInfoBlock(reinterpret_cast<const uint8_t*>(bytes.data()));
  EXPECT_EQ(info.clusterLength, L);
  EXPECT_EQ(info.mergeMultiplier, 7u);
  EXPECT_EQ(info.directoryCluster, 0u);

  auto index = open(OpenMode::openNormal);
  EXPECT_EQ(index->mergeMultiplier(), 7u);
  EXPECT_EQ(index->chainNum(), 0u);
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_TRUE(test::startSearch(*index, SearchMode::ALL, error));
  EXPECT_TRUE(test::prevKey(*index, error));
  index->endSearch();
  EXPECT_EQ(test::findKey(*index, K(key("")), SearchMode::ALL, error), SEARCH_SMALLER);
  index->endSearch();
  EXPECT_EQ(error, EM_NO_ERRORS);
}

TEST_F(MergeIndexTest, DamagedBlockOneFailsNormalOpenAndIsRepairedAfterCommitOpen) {
  auto index = create();
  for (uint32_t i = 0; i < 500; ++i) insert(*index, longKey(i % 300), i);
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  index->destroy();
  std::string bytes = test::readFile(path_);
  bytes[INDEX_BUFFER_SIZE + 100] ^= 1;
  test::writeFile(path_, bytes);

  open(OpenMode::openNormal, EM_BAD_DATA);
  index = open(OpenMode::openAfterCommit);
  ASSERT_NE(index, nullptr);
  EXPECT_TRUE(indexMatches(*index, model_));
  index.reset();
  // Blocks 0 and 1 were written back from blocks 2 and 3.
  index = open(OpenMode::openNormal);
  ASSERT_NE(index, nullptr);
  EXPECT_TRUE(indexMatches(*index, model_));
}

TEST_F(MergeIndexTest, DirectoryNamingAClusterTwiceOrBeyondTheFileIsRefused) {
  auto index = create();
  for (uint32_t i = 0; i < 2000; ++i) insert(*index, longKey(i), i);
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  ASSERT_GE(index->chainNum(), 2u);
  index->destroy();
  const std::string intact = test::readFile(path_);

  rewriteDirectory([](Directory&, uint32_t) {});  // the helper itself keeps a valid index
  EXPECT_TRUE(indexMatches(*open(OpenMode::openNormal), model_));

  using Damage = std::function<void(Directory&, uint32_t)>;
  const std::vector<std::pair<const char*, Damage>> damages = {
      {"two chains share a cluster",
       [](Directory& d, uint32_t) {
         d.chains[1].clusters[0].number = d.chains[0].clusters[0].number;
       }},
      {"a chain names the directory",
       [](Directory& d, uint32_t directory) { d.chains[0].clusters[0].number = directory; }},
      {"a cluster beyond the file",
       [](Directory& d, uint32_t) { d.chains[0].clusters[0].number = 1000000; }},
      {"a merge of chains that do not exist",
       [](Directory& d, uint32_t) {
         DirectoryMerge& merge = d.merges.emplace_back();
         merge.numbers[MERGE_SOURCE1_CHAIN] = 7;
         merge.numbers[MERGE_SOURCE2_CHAIN] = 8;
         merge.output = d.chains.back();
         d.chains.pop_back();
       }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    test::writeFile(path_, intact);
    rewriteDirectory(damage);
    EXPECT_EQ(open(OpenMode::openNormal, EM_BAD_DATA), nullptr);
  }
}

TEST_F(MergeIndexTest, FindKeyPastTheEndThenPrevKeyYieldsTheLastVisibleKey) {
  auto index = create();
  insert(*index, "a", 1);
  insert(*index, "ab", 2);
  insert(*index, "b", 3);
  insert(*index, "c", 4, InsertMode::REMOVE);  // invisible to PRESENT
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_EQ(test::findKey(*index, K(key("d")), SearchMode::PRESENT, error), SEARCH_SMALLER);
  EXPECT_FALSE(test::prevKey(*index, error));
  EXPECT_EQ(currentKeyText(*index), "b");
  EXPECT_FALSE(test::prevKey(*index, error));
  EXPECT_EQ(currentKeyText(*index), "ab");
  EXPECT_FALSE(test::nextKey(*index, error));  // turning round
  EXPECT_EQ(currentKeyText(*index), "b");
  EXPECT_TRUE(test::nextKey(*index, error));
  index->endSearch();

  EXPECT_EQ(test::findKey(*index, K(key("a")), SearchMode::PRESENT, error), SEARCH_EQUAL);
  index->endSearch();
  EXPECT_EQ(test::findKey(*index, K(key("aa")), SearchMode::PRESENT, error), SEARCH_GREATER);
  EXPECT_EQ(currentKeyText(*index), "ab");
  index->endSearch();
  EXPECT_EQ(test::findKey(*index, K(key("")), SearchMode::PRESENT, error), SEARCH_EXTENDS);
  EXPECT_EQ(currentKeyText(*index), "a");
  index->endSearch();
  // The last key is the removed one, which REMOVED sees and PRESENT skips.
  EXPECT_EQ(test::findKey(*index, K(key("bb")), SearchMode::REMOVED, error), SEARCH_GREATER);
  EXPECT_EQ(currentKeyText(*index), "c");
  index->endSearch();
  EXPECT_EQ(test::findKey(*index, K(key("bb")), SearchMode::PRESENT, error), SEARCH_SMALLER);
  EXPECT_FALSE(test::prevKey(*index, error));
  EXPECT_EQ(currentKeyText(*index), "b");
  index->endSearch();
  EXPECT_EQ(error, EM_NO_ERRORS);
}

TEST_F(MergeIndexTest, OptimizeOfOneChainIsDoneAtOnce) {
  auto index = create();
  for (uint32_t i = 0; i < 100; ++i) insert(*index, longKey(i), i);
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  ASSERT_EQ(index->chainNum(), 1u);
  uint32_t clusters = index->clusterNum();
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_EQ(test::optimize(*index, error), OptimizeResult::DONE);
  EXPECT_EQ(index->clusterNum(), clusters);
  EXPECT_EQ(index->state(), STATE_NEUTRAL);
  // Nothing changed, so the commit writes nothing.
  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  EXPECT_EQ(index->clusterNum(), clusters);
  EXPECT_EQ(error, EM_NO_ERRORS);
}

TEST_F(MergeIndexTest, MergesInProgressSurviveCommitAndReopenInBothModes) {
  auto index = create(2);
  uint32_t i = 0;
  // Many full pools: merges are started and left unfinished by the bounded budget.
  for (int rounds = 0; rounds < 3; ++rounds) {
    do {
      for (uint32_t end = i + 50; i < end; ++i) insert(*index, longKey(i * 7919 % 5000), i);
      ASSERT_EQ(commit(*index), EM_NO_ERRORS);
    } while (index->inMergeNum() == 0 && i < 1000000);
    const uint32_t merges = index->inMergeNum();
    for (OpenMode mode : {OpenMode::openNormal, OpenMode::openAfterCommit}) {
      index.reset();
      index = open(mode);
      ASSERT_NE(index, nullptr);
      EXPECT_EQ(index->inMergeNum(), merges);
      EXPECT_TRUE(indexMatches(*index, model_));
    }
  }
  ErrorCode error = EM_NO_ERRORS;
  while (test::optimize(*index, error) == OptimizeResult::MORE) ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(index->inMergeNum(), 0u);
  EXPECT_TRUE(indexMatches(*index, model_));
}

// A merge's first output write fails: the merge stays in progress without output, which
// the directory cannot record. The commit leaves it out; its sources are intact chains.
TEST_F(MergeIndexTest, MergeWhoseFirstStepFailedIsLeftOutOfTheCommit) {
  platform::FaultInjectionEnv env;
  platform::Env::setCurrent(&env);
  auto index = create(2);
  ErrorCode error = EM_NO_ERRORS;
  for (uint32_t i = 0; i < 10; ++i) insert(*index, longKey(i), i);
  test::startSearch(*index, SearchMode::ALL, error);  // the pool becomes chain 0
  index->endSearch();
  for (uint32_t i = 10; i < 20; ++i) insert(*index, longKey(i), i);
  // The next flush writes chain 1 (write 1), then starts merging chains 0 and 1 (write 2).
  env.failAt(platform::FaultKind::WRITE, 2, EIO);
  test::startSearch(*index, SearchMode::ALL, error);
  index->endSearch();
  EXPECT_EQ(error, EM_WRITE);
  ASSERT_EQ(index->inMergeNum(), 1u);
  ASSERT_EQ(index->chainNum(), 2u);

  ASSERT_EQ(commit(*index), EM_NO_ERRORS);
  EXPECT_TRUE(indexMatches(*index, model_));
  // The merge goes on from where it stood before the failed step.
  error = EM_NO_ERRORS;
  while (test::optimize(*index, error) == OptimizeResult::MORE) ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(index->chainNum(), 1u);
  EXPECT_TRUE(indexMatches(*index, model_));
  index.reset();
  index = open(OpenMode::openNormal);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->inMergeNum(), 0u);
  EXPECT_EQ(index->chainNum(), 2u);
  EXPECT_TRUE(indexMatches(*index, model_));
}

// The bytes of one cluster as any writer of the layout makes them: each (key, values) in
// key order, the first value of a key carrying bit 31, the checksum over the whole cluster
// with its own field zero.
std::string clusterBytes(const std::vector<std::pair<std::string, std::vector<uint32_t>>>& keys) {
  std::string bytes(L, '\0');
  uint32_t keyEnd = CLUSTER_HEADER_SIZE;
  uint32_t slot = L / VALUE_SLOT_SIZE - 1;
  for (const auto& [text, values] : keys) {
    bytes[keyEnd] = static_cast<char>(text.size());
    bytes.replace(keyEnd + 1, text.size(), text);
    bytes[keyEnd + 1 + text.size()] = static_cast<char>(text.size());
    keyEnd += static_cast<uint32_t>(text.size()) + STORED_KEY_OVERHEAD;
    for (std::size_t i = 0; i < values.size(); ++i) {
      storeU32(&bytes[slot-- * VALUE_SLOT_SIZE], values[i] | (i == 0 ? KEY_MARKER : 0));
    }
  }
  storeU32(&bytes[CLUSTER_KEY_END_OFFSET], keyEnd);
  storeU32(&bytes[CLUSTER_DATA_END_OFFSET], slot);
  storeU32(&bytes[CLUSTER_CHECKSUM_OFFSET], crc32(bytes.data(), bytes.size()));
  return bytes;
}

// An index file built byte by byte as another writer may commit it: two chains and a merge
// of them that was started (optimize with its budget spent) but has no output cluster yet.
// Opening it restarts the merge as a fresh one; the documents are those of the chains.
TEST_F(MergeIndexTest, CommittedMergeWithoutOutputOpensAsAMergeNotYetWritten) {
  const uint32_t M = KEY_MARKER;
  const auto ins = [](uint32_t document) { return recordValue(document, InsertMode::INSERT); };
  const auto rem = [](uint32_t document) { return recordValue(document, InsertMode::REMOVE); };
  // Chain 0 (older) in cluster 0, chain 1 (newer) in cluster 1; document 2 leaves «a».
  const std::string chain0 =
      clusterBytes({{"a", {ins(1), ins(2)}}, {"b", {ins(3)}}, {"c", {ins(4)}}});
  const std::string chain1 = clusterBytes({{"a", {rem(2)}}, {"b", {ins(5)}}, {"d", {ins(6)}}});
  Model model;
  for (auto [k, d] : {std::pair{"a", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"b", 5}, {"d", 6}}) {
    model.apply(k, d, InsertMode::INSERT);
  }
  model.apply("a", 2, InsertMode::REMOVE);

  struct Row {
    const char* name;
    std::array<uint32_t, 4> progress;  // slot distances, pendings
    uint32_t source1Position;
    ErrorCode expected;
  };
  const std::vector<Row> rows = {
      {"started, never advanced", {0, 0, 0, 0}, 0, EM_NO_ERRORS},
      {"first records read, no step run", {1, 1, ins(1), rem(2)}, 0, EM_NO_ERRORS},
      {"a source past its first cluster", {0, 0, 0, 0}, 1, EM_BAD_DATA},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::pair<std::string, std::vector<uint32_t>>> directory = {
        {"", {M | 0}},        {"", {M | 0}}, {"", {DIRECTORY_END}},  // chain 0: «a»..«c»
        {"", {M | 1}},        {"", {M | 1}}, {"", {DIRECTORY_END}},  // chain 1: «a»..«d»
        {"", {DIRECTORY_END}}};                                      // end of the chains
    directory[0].first = "a";
    directory[1].first = "c";
    directory[3].first = "a";
    directory[4].first = "d";
    const std::array<uint32_t, MERGE_RECORD_NUMBERS> numbers = {0,
                                                                1,
                                                                row.source1Position,
                                                                0,
                                                                0,
                                                                0,
                                                                row.progress[0],
                                                                row.progress[1],
                                                                row.progress[2],
                                                                row.progress[3],
                                                                1};
    for (uint32_t number : numbers) directory.push_back({"", {M | number}});
    directory.push_back({"", {DIRECTORY_END}});  // the output chain: no cluster
    directory.push_back({"", {DIRECTORY_END}});  // end of the merges
    std::string info(INDEX_BUFFER_SIZE, '\0');
    storeU32(&info[INFO_CLUSTER_LENGTH_OFFSET], L);
    storeU32(&info[INFO_MERGE_MULTIPLIER_OFFSET], 2);
    storeU32(&info[INFO_DIRECTORY_CLUSTER_OFFSET], 2);
    std::string file;
    for (uint32_t i = 0; i < INFO_SIZE; ++i) file += info;
    file += chain0 + chain1 + clusterBytes(directory);
    test::writeFile(path_, file);

    auto index = open(OpenMode::openNormal, row.expected);
    if (row.expected != EM_NO_ERRORS) {
      EXPECT_EQ(index, nullptr);
      continue;
    }
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->chainNum(), 2u);
    EXPECT_EQ(index->inMergeNum(), 1u);
    EXPECT_TRUE(indexMatches(*index, model));
    // Reopened unchanged, and in the other mode: the same merge that has written nothing.
    index.reset();
    index = open(OpenMode::openAfterCommit);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->inMergeNum(), 1u);
    EXPECT_TRUE(indexMatches(*index, model));

    // Work goes on: inserts (their flush advances the merge), a commit, a reopen, and
    // optimize down to one chain.
    model_ = model;
    ErrorCode error = EM_NO_ERRORS;
    insert(*index, "b", 7);
    insert(*index, "c", 4, InsertMode::REMOVE);
    test::startSearch(*index, SearchMode::ALL, error);  // the pool becomes a chain
    index->endSearch();
    ASSERT_EQ(error, EM_NO_ERRORS);
    EXPECT_TRUE(indexMatches(*index, model_));
    ASSERT_EQ(commit(*index), EM_NO_ERRORS);
    index.reset();
    index = open(OpenMode::openNormal);
    ASSERT_NE(index, nullptr);
    EXPECT_TRUE(indexMatches(*index, model_));
    while (test::optimize(*index, error) == OptimizeResult::MORE) ASSERT_EQ(error, EM_NO_ERRORS);
    EXPECT_EQ(index->chainNum(), 1u);
    EXPECT_EQ(index->inMergeNum(), 0u);
    EXPECT_TRUE(indexMatches(*index, model_));
    ASSERT_EQ(commit(*index), EM_NO_ERRORS);
    index.reset();
    index = open(OpenMode::openNormal);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->chainNum(), 1u);
    EXPECT_TRUE(indexMatches(*index, model_));
  }
}

}  // namespace
}  // namespace dovrel::index
