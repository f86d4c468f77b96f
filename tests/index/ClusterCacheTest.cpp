// The cluster cache: least-recently-used eviction within its capacity, shared bytes that
// outlive their entry, and, through the index file and the merge index, that nothing it
// serves ever differs from the disk: rewritten clusters, torn writes, closed and reopened
// files, crashes, and a random model run with the cache on against the cache off.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include "index/Cluster.h"
#include "index/ClusterCache.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/MergeIndexModel.h"
#include "platform/FaultInjectionEnv.h"

namespace dovrel::index {
namespace {

// A prefix followed by a number. Built by appending: g++ 12 warns (-Wrestrict, falsely) on
// `"literal" + std::to_string(n)` in optimised builds.
std::string numbered(const char* prefix, uint64_t number) {
  std::string text(prefix);
  text += std::to_string(number);
  return text;
}

using platform::FaultKind;
using test::commit;
using test::indexMatches;
using test::K;
using test::key;
using test::Model;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

ClusterCache::Cached bytesOf(uint8_t fill, std::size_t size = L) {
  ErrorCode error = EM_NO_ERRORS;
  AlignedBuffer buffer = test::allocate(size, error);
  std::memset(buffer.data(), fill, size);
  return {std::make_shared<const AlignedBuffer>(std::move(buffer)), nullptr};
}

TEST(ClusterCacheTest, EvictsTheLeastRecentlyUsedWithinItsCapacity) {
  ClusterCache cache(3 * L);
  for (uint32_t n = 0; n < 3; ++n) cache.insert(1, n, bytesOf(static_cast<uint8_t>(n)));
  ASSERT_NE(cache.find(1, 0).bytes, nullptr);  // 0 is now the most recent; 1 the least
  cache.insert(1, 3, bytesOf(3));
  EXPECT_EQ(cache.find(1, 1).bytes, nullptr);
  for (uint32_t n : {0u, 2u, 3u}) {
    ClusterCache::Bytes found = cache.find(1, n).bytes;
    ASSERT_NE(found, nullptr) << n;
    EXPECT_EQ(found->data()[L - 1], n);
  }
  EXPECT_EQ(cache.usedBytes(), 3 * L);

  // Replacing an entry keeps one entry; another file's cluster of the same number is apart.
  cache.insert(1, 3, bytesOf(33));
  cache.insert(2, 3, bytesOf(66));
  EXPECT_EQ(cache.find(1, 3).bytes->data()[0], 33);
  EXPECT_EQ(cache.find(2, 3).bytes->data()[0], 66);
  EXPECT_EQ(cache.entryCount(), 3u);

  cache.setCapacity(L);
  EXPECT_EQ(cache.entryCount(), 1u);
  EXPECT_LE(cache.usedBytes(), L);
  cache.insert(9, 0, bytesOf(9, 2 * L));
  EXPECT_EQ(cache.find(9, 0).bytes, nullptr);  // larger than the whole cache

  cache.setCapacity(0);
  EXPECT_FALSE(cache.enabled());
  cache.insert(1, 7, bytesOf(7));
  EXPECT_EQ(cache.entryCount(), 0u);
}

TEST(ClusterCacheTest, SharedCapacityIsAnEighthOfTheMemoryAndNeverBelowTheDefault) {
  struct Row {
    uint64_t memory;
    std::size_t capacity;
  };
  constexpr uint64_t MIB = uint64_t{1} << 20;
  for (const Row& row :
       {Row{0, ClusterCache::DEFAULT_CAPACITY}, Row{256 * MIB, ClusterCache::DEFAULT_CAPACITY},
        Row{512 * MIB, 64 * MIB}, Row{24576 * MIB, 3072 * MIB},
        Row{~uint64_t{0}, static_cast<std::size_t>(~uint64_t{0} / 8)}}) {
    EXPECT_EQ(ClusterCache::capacityForMemory(row.memory), row.capacity) << row.memory;
  }
}

TEST(ClusterCacheTest, HeldBytesOutliveEvictionAndErasure) {
  ClusterCache cache(2 * L);
  cache.insert(1, 0, bytesOf(10));
  cache.insert(1, 1, bytesOf(11));
  cache.insert(2, 0, bytesOf(20));
  ClusterCache::Bytes held = cache.find(1, 1).bytes;
  cache.eraseFile(1);
  EXPECT_EQ(cache.find(1, 1).bytes, nullptr);
  EXPECT_NE(cache.find(2, 0).bytes, nullptr);
  cache.erase(2, 0);
  EXPECT_EQ(cache.entryCount(), 0u);
  EXPECT_EQ(cache.usedBytes(), 0u);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->data()[L / 2], 11);  // AddressSanitizer reports it if freed
}

// A reading cluster with key marks finds exactly what a cluster without them finds, for
// every stored key and for probes between, before, after and extending them; with few
// values per key (a mark every KEY_MARK_STEP keys) and with some keys of many values (marks
// after long stretches of values too).
TEST(ClusterKeyMarksTest, FindAnswersAsTheLinearScan) {
  for (const uint32_t manyValues : {0u, 300u}) {
    SCOPED_TRACE("many values " + std::to_string(manyValues));
    ErrorCode error = EM_NO_ERRORS;
    auto plain = test::makeCluster(L, error);
    std::vector<std::string> texts;
    for (uint32_t n = 0; n < 700; ++n) texts.push_back("key" + std::to_string(1000 + 3 * n));
    // A first key continued from an earlier cluster, and keys with several values.
    plain->addKey(K(key(texts[0])), 5);
    for (std::size_t i = 1; i < texts.size(); ++i) {
      plain->addKey(K(key(texts[i])), KEY_MARKER | static_cast<uint32_t>(i));
      if (i % 5 == 0) plain->addValue(static_cast<uint32_t>(i) + 1000);
      if (i % 97 == 0) {
        for (uint32_t v = 0; v < manyValues; ++v)
          plain->addValue(static_cast<uint32_t>(i) + 2000 + v);
      }
    }
    plain->seal();
    test::keep(error, plain->validate());
    ASSERT_EQ(error, EM_NO_ERRORS);
    auto bytes = test::allocate(L, error);
    std::memcpy(bytes.data(), plain->bytes(), L);
    auto marked = test::makeReader(L, error);
    marked->attach(std::make_shared<const AlignedBuffer>(std::move(bytes)), true);
    auto marks = marked->makeKeyMarks();
    ASSERT_NE(marks, nullptr);
    const std::size_t byKeys = (texts.size() - 1) / Cluster::KEY_MARK_STEP + 1;
    if (manyValues == 0) {
      EXPECT_EQ(marks->size(), byKeys);
    } else {
      EXPECT_GT(marks->size(), byKeys);
    }
    marked->setKeyMarks(marks);

    std::vector<std::string> probes = {"", "a", "key", "key0", "zzz", "key9999"};
    for (const std::string& text : texts) {
      probes.push_back(text);
      probes.push_back(text + "0");
      probes.push_back(text.substr(0, text.size() - 1));
      probes.push_back(text.substr(0, text.size() - 1) + "~");
    }
    for (const std::string& probe : probes) {
      const SearchCode expected = plain->find(K(key(probe)));
      ASSERT_EQ(marked->find(K(key(probe))), expected) << probe;
      ASSERT_EQ(marked->atKeyEnd(), plain->atKeyEnd()) << probe;
      if (plain->atKeyEnd()) continue;
      ASSERT_EQ(test::text(marked->currentKey()), test::text(plain->currentKey())) << probe;
      bool endPlain = false;
      bool endMarked = false;
      do {
        ASSERT_EQ(marked->nextValue(endMarked), plain->nextValue(endPlain)) << probe;
        ASSERT_EQ(endMarked, endPlain);
      } while (!endPlain);
    }
  }
}

// The shared cache, set to `capacity` for one test and put back afterwards.
class SharedCacheTest : public testing::Test {
 protected:
  void setCapacity(std::size_t capacity) {
    ClusterCache::shared().clear();
    ClusterCache::shared().setCapacity(capacity);
  }
  void TearDown() override {
    ClusterCache::shared().clear();
    ClusterCache::shared().setCapacity(ClusterCache::DEFAULT_CAPACITY);
    platform::Env::setCurrent(nullptr);
  }
  test::TempDir dir_;
};

// Clusters of two 64 KiB pieces, so that a write can be torn between them.
class IndexFileCacheTest : public SharedCacheTest {
 protected:
  static constexpr uint32_t CL = 4 * INDEX_BUFFER_SIZE;

  void SetUp() override {
    setCapacity(ClusterCache::DEFAULT_CAPACITY);
    platform::Env::setCurrent(&env_);
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.create(path_, CL));
    test::append(file_, error);
    test::append(file_, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    writer_ = test::makeCluster(CL, error);
    reader_ = test::makeReader(CL, error);
  }
  void TearDown() override {
    file_.close();
    SharedCacheTest::TearDown();
  }
  void write(uint32_t number, const std::string& text) {
    writer_->clear();
    writer_->addKey(K(key(text)), KEY_MARKER | number);
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.writeCluster(*writer_, number));
    ASSERT_EQ(error, EM_NO_ERRORS);
  }
  // The first key of cluster `number` as the reading cluster sees it, and the file reads
  // the call made.
  std::string read(uint32_t number, ErrorCode& error, uint64_t* reads = nullptr) {
    const uint64_t before = env_.count(FaultKind::READ);
    test::keep(error, file_.readCluster(*reader_, number));
    if (reads != nullptr) *reads = env_.count(FaultKind::READ) - before;
    return error == EM_NO_ERRORS ? test::text(reader_->firstKey()) : "";
  }

  std::string path_ = dir_.file("cache.index");
  platform::FaultInjectionEnv env_;
  IndexFile file_;
  std::unique_ptr<Cluster> writer_;
  std::unique_ptr<Cluster> reader_;
};

// A cluster just written enters the cache with its new bytes; one read from disk enters it
// too, and later reads find it there.
TEST_F(IndexFileCacheTest, WrittenAndReadClustersComeFromTheCache) {
  write(0, "first");
  write(1, "other");
  ErrorCode error = EM_NO_ERRORS;
  uint64_t reads = 0;
  EXPECT_EQ(read(0, error, &reads), "first");
  EXPECT_EQ(reads, 0u);
  ClusterCache::shared().clear();
  EXPECT_EQ(read(0, error, &reads), "first");
  EXPECT_EQ(reads, 1u);
  EXPECT_EQ(read(1, error, &reads), "other");
  EXPECT_EQ(read(0, error, &reads), "first");
  EXPECT_EQ(reads, 0u);
  EXPECT_EQ(error, EM_NO_ERRORS);

  write(0, "second");
  EXPECT_EQ(read(0, error, &reads), "second");
  EXPECT_EQ(reads, 0u);
  EXPECT_EQ(read(1, error, &reads), "other");
  EXPECT_EQ(reads, 0u);
  // Writers' clusters never go through the cache.
  test::keep(error, file_.readCluster(*writer_, 1));
  EXPECT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(test::text(writer_->firstKey()), "other");
}

TEST_F(IndexFileCacheTest, TornWriteIsReadAsTheDiskHoldsIt) {
  write(0, "whole");
  ErrorCode error = EM_NO_ERRORS;
  ASSERT_EQ(read(0, error), "whole");
  writer_->clear();
  writer_->addKey(K(key("torn")), KEY_MARKER | 7);  // its last slot, in the lost piece, differs
  // The block with the key lands; the zeroing of the free blocks after it fails, so the
  // block with the value is never written.
  env_.failAt(FaultKind::WRITE, 2, EIO);
  test::keep(error, file_.writeCluster(*writer_, 0));
  ASSERT_EQ(error, EM_WRITE);
  env_.clearFaults();
  error = EM_NO_ERRORS;
  EXPECT_EQ(read(0, error), "");
  EXPECT_EQ(error, EM_BAD_DATA);
  // A failed read leaves nothing behind in the cache either.
  env_.failAt(FaultKind::READ, 1, EIO);
  error = EM_NO_ERRORS;
  read(1, error);
  EXPECT_EQ(error, EM_READ);
  env_.clearFaults();
  write(1, "later");
  error = EM_NO_ERRORS;
  EXPECT_EQ(read(1, error), "later");
}

TEST_F(IndexFileCacheTest, ReopenedFileNeverSeesTheEntriesOfItsEarlierOpening) {
  write(0, "kept");
  ErrorCode error = EM_NO_ERRORS;
  ASSERT_EQ(read(0, error), "kept");
  EXPECT_EQ(ClusterCache::shared().entryCount(), 1u);
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  encodeInfoBlock(InfoBlock{CL, 2, 0}, block);
  test::keep(error, file_.writeInfo(block, 0));
  file_.close();
  EXPECT_EQ(ClusterCache::shared().entryCount(), 0u);

  // Changed behind the closed file: the reopened file reads and checks the disk again.
  std::string raw = test::readFile(path_);
  raw[CLUSTER_AREA_OFFSET + CL - 100] ^= 0x10;
  test::writeFile(path_, raw);
  test::open(file_, path_, error);
  ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(read(0, error), "");
  EXPECT_EQ(error, EM_BAD_DATA);
}

TEST_F(SharedCacheTest, CrashAndReopenShowTheCommittedStateOnly) {
  setCapacity(ClusterCache::DEFAULT_CAPACITY);
  platform::FaultInjectionEnv env;
  platform::Env::setCurrent(&env);
  const std::string path = dir_.file("crash.index");
  std::mt19937 rng(5);
  for (bool powerLoss : {false, true}) {
    SCOPED_TRACE(powerLoss ? "power loss" : "process death");
    ErrorCode error = EM_NO_ERRORS;
    auto index = test::createIndex(path, L, 2, error);
    ASSERT_NE(index, nullptr);
    Model committed;
    auto insertSome = [&](Model& model, uint32_t count) {
      for (uint32_t i = 0; i < count; ++i) {
        std::string text = std::to_string(rng() % 2000);
        text.resize(60 + rng() % 100, '.');
        const uint32_t document = rng() % 3000;
        test::keep(error, index->insert(K(key(text)), document, InsertMode::INSERT));
        model.apply(text, document, InsertMode::INSERT);
      }
    };
    insertSome(committed, 3000);
    ASSERT_EQ(commit(*index), EM_NO_ERRORS);
    ASSERT_TRUE(indexMatches(*index, committed));  // every cluster now in the cache
    Model changed = committed;
    insertSome(changed, 3000);  // merges rewrite freed clusters
    while (test::optimize(*index, error) == OptimizeResult::MORE) {
    }
    ASSERT_EQ(error, EM_NO_ERRORS);
    ASSERT_TRUE(indexMatches(*index, changed));
    index.reset();  // the crash: nothing more is written
    if (powerLoss) {
      ASSERT_TRUE(env.dropUnsyncedData().isOk());
    }
    index = test::openIndex(path, OpenMode::openNormal, error);
    ASSERT_NE(index, nullptr);
    EXPECT_TRUE(indexMatches(*index, committed));
    index.reset();
  }
}

// The same random work twice, with a cache of a few clusters (constant eviction) and with
// none: every search gives the model's answer both times, and the files end equal.
class CacheModelRun {
 public:
  CacheModelRun(uint32_t seed, std::string path) : rng_(seed), path_(std::move(path)) {}

  // One line per search: what it found.
  std::vector<std::string> run() {
    std::vector<std::string> log;
    ErrorCode error = EM_NO_ERRORS;
    auto index = test::createIndex(path_, L, 2 + rng_() % 3, error);
    EXPECT_NE(index, nullptr);
    Model model;
    Model committed;
    for (uint32_t step = 0; step < 120 && !testing::Test::HasFailure(); ++step) {
      const uint32_t choice = rng_() % 20;
      if (choice < 10) {
        for (uint32_t n = 1 + rng_() % 400; n > 0; --n) {
          std::string text = numbered("k", rng_() % 700);
          text.resize(text.size() + rng_() % 120, '_');
          const uint32_t document = rng_() % 1000;
          const InsertMode mode = rng_() % 4 == 0 ? InsertMode::REMOVE : InsertMode::INSERT;
          test::keep(error, index->insert(K(key(text)), document, mode));
          model.apply(text, document, mode);
        }
      } else if (choice < 15) {
        const std::string probe = numbered("k", rng_() % 700);
        const SearchMode mode = static_cast<SearchMode>(rng_() % 3);
        const SearchCode code = test::findKey(*index, K(key(probe)), mode, error);
        std::string line = probe + " " + std::to_string(code);
        if (code != SEARCH_SMALLER) {
          line += ' ';
          line += test::currentKeyText(*index);
          for (uint32_t document : test::allDocs(*index, error)) {
            line += ' ';
            line += std::to_string(document);
          }
        }
        index->endSearch();
        log.push_back(line);
      } else if (choice < 17) {
        test::optimize(*index, error);
      } else if (choice < 19) {
        EXPECT_EQ(commit(*index), EM_NO_ERRORS);
        committed = model;
      } else {
        // Closing without a commit loses the changes, as a crash would.
        index.reset();
        index = test::openIndex(path_, OpenMode::openNormal, error);
        EXPECT_NE(index, nullptr);
        model = committed;
      }
      EXPECT_EQ(error, EM_NO_ERRORS) << "step " << step;
      if (step % 30 == 29) {
        EXPECT_TRUE(indexMatches(*index, model)) << "step " << step;
      }
    }
    EXPECT_TRUE(indexMatches(*index, model));
    EXPECT_EQ(commit(*index), EM_NO_ERRORS);
    index->destroy();
    return log;
  }

 private:
  std::mt19937 rng_;
  std::string path_;
};

TEST_F(SharedCacheTest, RandomWorkAnswersTheSameWithAndWithoutTheCache) {
  for (uint32_t seed : test::testSeeds(6)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    setCapacity(4 * L);
    const std::vector<std::string> cached = CacheModelRun(seed, dir_.file("on.index")).run();
    EXPECT_GT(ClusterCache::shared().hits(), 0u);
    setCapacity(0);
    const std::vector<std::string> uncached = CacheModelRun(seed, dir_.file("off.index")).run();
    EXPECT_EQ(cached, uncached);
    EXPECT_EQ(test::readFile(dir_.file("on.index")), test::readFile(dir_.file("off.index")));
  }
}

// The index engine runs on one thread, but the cache is process-wide: searches of two
// indexes on two threads keep evicting each other's clusters from a tiny cache.
TEST_F(SharedCacheTest, SearchesOnSeveralThreadsShareOneSmallCache) {
  setCapacity(3 * L);
  std::unique_ptr<MergeIndex> indexes[2];
  Model models[2];
  for (int id = 0; id < 2; ++id) {
    ErrorCode error = EM_NO_ERRORS;
    indexes[id] = test::createIndex(dir_.file(numbered("t", id) + ".index"), L, 2, error);
    ASSERT_NE(indexes[id], nullptr);
    for (uint32_t i = 0; i < 4000; ++i) {
      std::string text = std::to_string(id) + "-" + std::to_string(i * 7919 % 4000);
      text.resize(80, '#');
      test::keep(error, indexes[id]->insert(K(key(text)), i, InsertMode::INSERT));
      models[id].apply(text, i, InsertMode::INSERT);
    }
    ASSERT_EQ(commit(*indexes[id]), EM_NO_ERRORS);
    ASSERT_GT(indexes[id]->clusterNum(), 6u);
  }
  std::atomic<int> failures{0};
  auto search = [&](int id) {
    for (int round = 0; round < 5; ++round) {
      if (!indexMatches(*indexes[id], models[id])) ++failures;
    }
  };
  std::thread first(search, 0);
  std::thread second(search, 1);
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(ClusterCache::shared().hits(), 0u);
}

}  // namespace
}  // namespace dovrel::index
