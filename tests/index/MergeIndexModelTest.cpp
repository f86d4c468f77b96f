// The merge index against an in-memory model under random work, seed after seed: insertions
// and removals, key walks in all three modes and both directions, optimize steps, commits,
// reopening, "crashes" (dropping the object, or copying the file between the commit
// phases and opening the copy in each mode), and a count of every cluster of the file.
// DOVREL_TEST_SEEDS=n runs seeds 1..n (default 16); DOVREL_TEST_SEED=s runs seed s alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>

#include "index/Cluster.h"
#include "index/Directory.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/MergeIndexModel.h"

namespace dovrel::index {
namespace {

using test::commit;
using test::currentKeyText;
using test::indexMatches;
using test::K;
using test::key;
using test::Model;
using test::scanMatches;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

// How often the runs met what the model test is for; counted from the committed files.
struct Coverage {
  uint32_t commitsChecked = 0;
  uint32_t mergesInProgress = 0;       // commits that recorded a merge in progress
  uint32_t continuedKeys = 0;          // commits whose chains hold a key continued across clusters
  uint32_t longDirectories = 0;        // commits whose directory spans several clusters
  uint32_t keyCollections = 0;         // collectKeys calls answered without a key scan
  uint32_t keyCollectionsRefused = 0;  // and those left to a key scan
};

// What one seed does: its key lengths, how many records, how documents are spread.
struct Profile {
  uint32_t minKey;
  uint32_t maxKey;
  uint32_t vocabulary;
  uint32_t steps;
  uint32_t documents;  // documents are drawn from [0, documents)
  uint32_t multiplier;
  uint32_t batch;  // records per insertion step: 1 to batch, now and then 15 times as many
  bool freshKeys;  // most records bring a key of their own
};

class ModelRun {
 public:
  ModelRun(uint32_t seed, std::string path, std::string copy, Coverage& coverage)
      : rng_(seed), path_(std::move(path)), copy_(std::move(copy)), coverage_(coverage) {
    static const uint32_t multipliers[] = {2, 3, 2, 4, 2, 100};
    const uint32_t multiplier = multipliers[seed % 6];
    if (seed % 8 == 0) {
      // Bulk: mostly new keys of 250 to 255 bytes, some 150 clusters, directories of two
      // clusters and merges left in progress by commits.
      profile_ = {250, 255, 50, 200, 1u << 20, 2, 600, true};
    } else if (seed % 2 == 1) {
      // Short keys, hot keys with long value lists (continued keys).
      profile_ = {0, 6, 60, 200, 200000, multiplier, 200, false};
    } else if (seed % 4 == 2) {
      profile_ = {200, 255, 3000, 200, 1u << 20, multiplier, 200, false};
    } else {
      profile_ = {0, 255, 600, 200, 5000, multiplier, 200, false};
    }
    makeVocabulary();
  }

  void run() {
    ErrorCode error = EM_NO_ERRORS;
    index_ = test::createIndex(path_, L, profile_.multiplier, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    for (uint32_t step = 0; step < profile_.steps; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      uint32_t dice = rng_() % 100;
      if (dice < 62) {
        insertBatch();
      } else if (dice < 80) {
        ASSERT_TRUE(walk());
      } else if (dice < 85) {
        optimizeStep();
      } else if (dice < 91) {
        ASSERT_NO_FATAL_FAILURE(commitAndCount());
      } else if (dice < 94) {
        ASSERT_NO_FATAL_FAILURE(reopen());
      } else if (dice < 97) {
        ASSERT_NO_FATAL_FAILURE(crash());
      } else {
        ASSERT_NO_FATAL_FAILURE(copyBetweenPhases());
      }
      ASSERT_FALSE(testing::Test::HasFatalFailure());
    }
    ASSERT_TRUE(indexMatches(*index_, model_));
    // Down to one chain; then every cluster is a chain's, the directory's or free.
    for (int rounds = 0; test::optimize(*index_, error) == OptimizeResult::MORE; ++rounds) {
      ASSERT_EQ(error, EM_NO_ERRORS);
      ASSERT_LT(rounds, 100000);
    }
    ASSERT_EQ(index_->chainNum(), 1u);
    inserted_ = true;
    ASSERT_NO_FATAL_FAILURE(commitAndCount());
    ASSERT_TRUE(indexMatches(*index_, model_));
    // The searches left the index neutral; an unchanged commit only settles the state.
    ASSERT_EQ(commit(*index_), EM_NO_ERRORS);
    index_->destroy();
  }

 private:
  void makeVocabulary() {
    std::uniform_int_distribution<uint32_t> length(profile_.minKey, profile_.maxKey);
    // Few distinct bytes, so that keys share prefixes and some are prefixes of others.
    static const char bytes[] = {'a', 'b', '\0', '\x7f', '\x80', '\xff'};
    for (uint32_t i = 0; i < profile_.vocabulary; ++i) {
      std::string text(length(rng_), 'a');
      for (char& c : text) {
        // One draw per statement: the order of draws must not depend on the compiler.
        uint32_t choices = rng_() % 3 == 0 ? 6 : 2;
        c = bytes[rng_() % choices];
      }
      vocabulary_.push_back(text);
    }
  }

  std::string anyKey() {
    // A few keys take many records, so their lists grow beyond a cluster.
    uint32_t n = static_cast<uint32_t>(vocabulary_.size());
    if (rng_() % 4 == 0) return vocabulary_[rng_() % std::min(n, 3u)];
    // Enough for directories of two clusters, and no more: the checks grow with the keys.
    if (profile_.freshKeys && model_.keyCount() < 45000) return freshKey(rng_());
    return vocabulary_[rng_() % n];
  }

  // One of about 2^32 keys of 250 to 255 bytes.
  static std::string freshKey(uint32_t id) {
    static const char bytes[] = {'a', 'b', '\x7f', '\x80', '\xff'};
    std::string text(250 + id % 6, 'a');
    for (std::size_t i = 0; i < 14; ++i, id /= 5) text[i] = bytes[id % 5];
    return text;
  }

  uint32_t anyDocument() {
    if (rng_() % 200 == 0) return MAX_DOCUMENT_NUMBER - rng_() % 3;
    return rng_() % profile_.documents;
  }

  SearchMode anyMode() {
    static const SearchMode modes[] = {SearchMode::PRESENT, SearchMode::REMOVED, SearchMode::ALL};
    return modes[rng_() % 3];
  }

  void insertBatch() {
    uint32_t largest = rng_() % 8 == 0 ? 15 * profile_.batch : profile_.batch;
    uint32_t count = 1 + rng_() % largest;
    for (uint32_t i = 0; i < count; ++i) {
      const std::string text = anyKey();
      uint32_t document = anyDocument();
      InsertMode mode = rng_() % 4 == 0 ? InsertMode::REMOVE : InsertMode::INSERT;
      ErrorCode error = EM_NO_ERRORS;
      test::keep(error, index_->insert(K(key(text)), document, mode));
      ASSERT_EQ(error, EM_NO_ERRORS);
      model_.apply(text, document, mode);
    }
    inserted_ = true;
  }

  void optimizeStep() {
    ErrorCode error = EM_NO_ERRORS;
    test::optimize(*index_, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
  }

  // Checks the key at `position` of `keys` (and sometimes its documents) or the end.
  testing::AssertionResult expectAt(SearchMode mode, const std::vector<std::string>& keys,
                                    int64_t position, bool end, bool expectedEnd) {
    if (end != expectedEnd) {
      return testing::AssertionFailure()
             << "end " << end << " at position " << position << " of " << keys.size() << " keys";
    }
    if (end) return testing::AssertionSuccess();
    std::string got = currentKeyText(*index_);
    if (got != keys[position]) {
      return testing::AssertionFailure() << "wrong key at position " << position;
    }
    ErrorCode error = EM_NO_ERRORS;
    uint32_t dice = rng_() % 3;
    if (dice == 0) {
      const auto read = static_cast<test::DocsRead>(position % 3);
      if (test::allDocs(*index_, error, read) != model_.docs(got, mode)) {
        return testing::AssertionFailure() << "documents at position " << position;
      }
    } else if (dice == 1) {
      // One batch only; the walk goes on from a key whose values were partly read.
      std::array<uint32_t, DOCS_BATCH> batch{};
      uint32_t count = 0;
      test::keep(error, index_->getDocs(batch, count));
      std::vector<uint32_t> expected = model_.docs(got, mode);
      expected.resize(std::min<std::size_t>(expected.size(), DOCS_BATCH));
      if (std::vector<uint32_t>(batch.begin(), batch.begin() + count) != expected) {
        return testing::AssertionFailure() << "first batch at position " << position;
      }
    }
    if (error != EM_NO_ERRORS) return testing::AssertionFailure() << "error " << error;
    return testing::AssertionSuccess();
  }

  // A random walk of next and prev steps from a start or a findKey.
  testing::AssertionResult walk() {
    SearchMode mode = anyMode();
    std::vector<std::string> keys = model_.visible(mode);
    const int64_t size = static_cast<int64_t>(keys.size());
    ErrorCode error = EM_NO_ERRORS;
    int64_t position = 0;
    bool end = false;
    testing::AssertionResult result = testing::AssertionSuccess();
    const bool fromStart = rng_() % 3 == 0;
    std::string probe;
    if (fromStart) {
      end = test::startSearch(*index_, mode, error);
      if (end != keys.empty()) result = testing::AssertionFailure() << "startSearch";
    } else {
      probe = anyKey();
      if (rng_() % 2 == 0) probe.resize(rng_() % (probe.size() + 1));
      if (rng_() % 3 == 0 && probe.size() < MAX_KEY_LENGTH)
        probe.push_back(static_cast<char>(rng_()));
      SearchCode code = test::findKey(*index_, K(key(probe)), mode, error);
      position = std::lower_bound(keys.begin(), keys.end(), probe) - keys.begin();
      end = code == SEARCH_SMALLER;
      SearchCode expected = SEARCH_SMALLER;
      if (position < size) {
        const std::string& found = keys[position];
        expected = found == probe                               ? SEARCH_EQUAL
                   : found.compare(0, probe.size(), probe) == 0 ? SEARCH_EXTENDS
                                                                : SEARCH_GREATER;
      }
      if (code != expected) result = testing::AssertionFailure() << "findKey code " << code;
    }
    if (result) result = expectAt(mode, keys, position, end, position == size);
    bool forward = true;
    uint32_t steps = rng_() % 8 == 0 ? 100000 : rng_() % 30;
    for (uint32_t i = 0; result && i < steps && error == EM_NO_ERRORS; ++i) {
      if (rng_() % 4 == 0) forward = !forward;
      if (forward) {
        end = test::nextKey(*index_, error);
        position = std::min(position + 1, size);
        result = expectAt(mode, keys, position, end, position == size);
        if (end && steps > 1000) break;
      } else {
        end = test::prevKey(*index_, error);
        position = std::max<int64_t>(position - 1, -1);
        result = expectAt(mode, keys, position, end, position == -1);
        if (end && steps > 1000) break;
      }
    }
    index_->endSearch();
    if (error != EM_NO_ERRORS) result = testing::AssertionFailure() << "error " << error;
    // Every third walk: the same stretch of keys gathered at once, from the walk's start.
    if (result && ++walks_ % 3 == 0)
      result = collectMatches(mode, fromStart ? std::nullopt : std::optional(probe));
    if (!result) result << " (" << test::modeName(mode) << ")";
    return result;
  }

  // collectKeys from `start` (the first key when none) to a key some way after it,
  // passing over one key in between, against the model's documents of those keys.
  testing::AssertionResult collectMatches(SearchMode mode,
                                          const std::optional<std::string>& start) {
    const std::vector<std::string> all = model_.visible(SearchMode::ALL);
    const auto first = start ? std::lower_bound(all.begin(), all.end(), *start) : all.begin();
    const std::size_t from = static_cast<std::size_t>(first - all.begin());
    const std::size_t span = from % 40;
    const std::string last = from + span < all.size() ? all[from + span] : std::string(256, '\xff');
    const std::string passed = from + 1 < all.size() ? all[from + 1] : std::string();
    std::set<uint32_t> expected;
    for (auto k = first; k != all.end() && *k <= last; ++k) {
      if (*k == passed) continue;
      for (uint32_t document : model_.docs(*k, mode)) expected.insert(document);
    }
    std::vector<uint32_t> out{7};  // what was there before stays
    ErrorCode error = EM_NO_ERRORS;
    const std::string startKey = start ? key(*start) : std::string();
    const bool done = test::collectKeys(
        *index_, start ? K(startKey) : nullptr,
        [&](Key k) {
          const std::string text = test::text(k);
          if (text > last) return KeyStep::STOP;
          return text == passed ? KeyStep::SKIP : KeyStep::TAKE;
        },
        mode, out, error);
    if (error != EM_NO_ERRORS) return testing::AssertionFailure() << "collectKeys error " << error;
    if (out.empty() || out[0] != 7)
      return testing::AssertionFailure() << "collectKeys lost what was there";
    if (!done) {
      if (mode == SearchMode::ALL || out.size() != 1) {
        return testing::AssertionFailure() << "collectKeys refused, " << out.size() << " numbers";
      }
      ++coverage_.keyCollectionsRefused;
      return testing::AssertionSuccess();
    }
    ++coverage_.keyCollections;
    const std::set<uint32_t> got(out.begin() + 1, out.end());
    if (got != expected) {
      return testing::AssertionFailure()
             << "collectKeys gave " << got.size() << " documents instead of " << expected.size();
    }
    return testing::AssertionSuccess();
  }

  // The clusters of the live index against those of a fresh open of its file: a cluster
  // that the session lost track of (or freed twice) shows as a difference.
  void countClusters() {
    std::filesystem::copy_file(path_, copy_, std::filesystem::copy_options::overwrite_existing);
    ErrorCode error = EM_NO_ERRORS;
    auto fresh = test::openIndex(copy_, OpenMode::openNormal, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    EXPECT_EQ(fresh->clusterNum(), index_->clusterNum());
    EXPECT_EQ(fresh->freeClusterNum(), index_->freeClusterNum());
    EXPECT_EQ(fresh->chainNum(), index_->chainNum());
    fresh.reset();
    noteCoverage();
  }

  void noteCoverage() {
    IndexFile file;
    ErrorCode error = EM_NO_ERRORS;
    test::open(file, copy_, error);
    auto buffer = test::makeCluster(L, error);
    auto block = test::allocate(INDEX_BUFFER_SIZE, error);
    test::keep(error, file.readInfo(block.data(), 0));
    Directory directory;
    test::readDirectory(file, *buffer, decodeInfoBlock(block.data()).directoryCluster, &directory,
                        error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    ++coverage_.commitsChecked;
    coverage_.mergesInProgress += !directory.merges.empty();
    coverage_.longDirectories += directory.directoryClusters.size() > 1;
    bool continued = false;
    for (const DirectoryChain& chain : directory.chains) {
      for (std::size_t i = 1; i < chain.clusters.size(); ++i) {
        continued = continued || chain.clusters[i].startKey == chain.clusters[i - 1].finKey;
      }
    }
    coverage_.continuedKeys += continued;
  }

  void commitAndCount() {
    ASSERT_EQ(commit(*index_), EM_NO_ERRORS);
    committed_ = model_;
    // After a commit that followed a change, the committed state is the live one.
    if (inserted_) {
      ASSERT_NO_FATAL_FAILURE(countClusters());
    }
    inserted_ = false;
  }

  void reopen() {
    ASSERT_EQ(commit(*index_), EM_NO_ERRORS);
    committed_ = model_;
    inserted_ = false;
    index_->destroy();
    index_.reset();
    ErrorCode error = EM_NO_ERRORS;
    // At rest all four blocks agree, so either mode finds the same state.
    OpenMode mode = rng_() % 2 == 0 ? OpenMode::openNormal : OpenMode::openAfterCommit;
    index_ = test::openIndex(path_, mode, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    ASSERT_TRUE(scanMatches(*index_, model_, anyMode()));
  }

  // The process dies with uncommitted work: the last commit is what remains.
  void crash() {
    index_.reset();
    ErrorCode error = EM_NO_ERRORS;
    index_ = test::openIndex(path_, OpenMode::openNormal, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
    model_ = committed_;
    inserted_ = false;
    ASSERT_TRUE(scanMatches(*index_, model_, anyMode()));
  }

  // The file as a crash between the phases leaves it: blocks 0 and 1 give the new state,
  // blocks 2 and 3 the previous one.
  void copyBetweenPhases() {
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, index_->commitPrepare());
    ASSERT_EQ(error, EM_NO_ERRORS);
    const std::string between = copy_ + ".between";
    std::filesystem::copy_file(path_, between, std::filesystem::copy_options::overwrite_existing);
    test::keep(error, index_->commitFinish());
    ASSERT_EQ(error, EM_NO_ERRORS);
    for (OpenMode mode : {OpenMode::openNormal, OpenMode::openAfterCommit}) {
      std::filesystem::copy_file(between, copy_, std::filesystem::copy_options::overwrite_existing);
      auto reopened = test::openIndex(copy_, mode, error);
      ASSERT_EQ(error, EM_NO_ERRORS);
      ASSERT_TRUE(
          scanMatches(*reopened, mode == OpenMode::openNormal ? model_ : committed_, anyMode()))
          << (mode == OpenMode::openNormal ? "openNormal" : "openAfterCommit");
    }
    committed_ = model_;
    inserted_ = false;
  }

  std::mt19937 rng_;
  uint32_t walks_ = 0;
  std::string path_;
  std::string copy_;
  Profile profile_{};
  std::vector<std::string> vocabulary_;
  std::unique_ptr<MergeIndex> index_;
  Model model_;
  Model committed_;
  bool inserted_ = false;
  Coverage& coverage_;
};

TEST(MergeIndexModelTest, RandomWorkMatchesTheModel) {
  Coverage coverage;
  const std::vector<uint32_t> seeds = test::testSeeds(16);
  for (uint32_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed) +
                 " (rerun with DOVREL_TEST_SEED=" + std::to_string(seed) + ")");
    test::TempDir dir(true);
    ModelRun run(seed, dir.file("m.index"), dir.file("copy.index"), coverage);
    run.run();
    if (testing::Test::HasFailure()) break;
  }
  std::printf(
      "%zu seeds, %u commits checked: %u with merges in progress, %u with continued keys, "
      "%u with directories of several clusters; %u key collections, %u left to a scan\n",
      seeds.size(), coverage.commitsChecked, coverage.mergesInProgress, coverage.continuedKeys,
      coverage.longDirectories, coverage.keyCollections, coverage.keyCollectionsRefused);
  // A run of the default seeds must reach what the test is for.
  if (seeds.size() >= 12) {
    EXPECT_GT(coverage.mergesInProgress, 0u);
    EXPECT_GT(coverage.continuedKeys, 0u);
    EXPECT_GT(coverage.longDirectories, 0u);
    EXPECT_GT(coverage.keyCollections, 0u);
    EXPECT_GT(coverage.keyCollectionsRefused, 0u);
  }
}

}  // namespace
}  // namespace dovrel::index
