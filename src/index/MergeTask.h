// One merge in progress: two adjacent chains of a merge index joined, one output cluster
// per step, into a new chain, with the progress kept between steps and in the directory.
// Owned by the merge index; query thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "foundation/ErrorCode.h"
#include "index/IndexFormat.h"
#include "index/Key.h"

namespace dovrel::index {

class Chain;
class Cluster;
class ClusterMap;
class IndexFile;

// Merges chain c1 (older) with chain c2 = c1 + 1 (newer). Records of one document under
// one key are equal in order ((v | 1)); where they meet, the newer chain's record is
// written and the older one dropped. Keys whose values do not fit an output cluster go on
// in the next one, which then starts with the key's continuation (bit 31 clear).
//
// The sources stay intact and searchable until the merge index finishes the task; the
// output chain is not searched. The task never changes the sources' `inMerge` marks and
// never releases their clusters: the merge index does both. Between advances the task
// holds no cluster; its progress is the eleven numbers of record().
class MergeTask {
 public:
  using Record = std::array<uint32_t, MERGE_RECORD_NUMBERS>;

  // Sets `task` to a new task on `source1` = chain c1 and `source2` = chain c1 + 1 (both
  // non-empty and not in a merge; fatal otherwise), with an empty output chain of `file`.
  // EM_NO_MEMORY.
  static ErrorCode start(uint32_t c1, Chain& source1, Chain& source2, IndexFile& file,
                         std::unique_ptr<MergeTask>& task);
  // A task recorded in a directory as `record` with its `output` chain so far; the sources
  // are the chains the record names. Reads the sources' current clusters to check that the
  // recorded positions exist and agree with the output: EM_BAD_DATA when they do not.
  // An empty output (another writer may commit a merge it started without advancing it)
  // is a merge that has written nothing yet: it restarts as a fresh task on the same
  // sources, and EM_BAD_DATA unless the record stands at their beginning. `task` is set
  // only on success.
  static ErrorCode restore(const Record& record, std::unique_ptr<Chain> output, Chain& source1,
                           Chain& source2, std::unique_ptr<MergeTask>& task);
  ~MergeTask();
  MergeTask(const MergeTask&) = delete;
  MergeTask& operator=(const MergeTask&) = delete;

  // Runs up to `units` steps (each writes one output cluster into a cluster taken from
  // `map`, or completes the task) using `out` as the output buffer, and sets `used` to the
  // steps run. A failed step returns its error and leaves the task as it was before that
  // step (the cluster it took is released), so the task stays consistent and may advance
  // again.
  ErrorCode advance(uint32_t units, Cluster& out, ClusterMap& map, uint32_t& used);

  bool done() const { return done_; }
  // Source clusters not yet consumed: the merge policy compares new candidates with it.
  uint32_t remainingWork() const;
  // The progress in the directory's order (MergeRecordField).
  Record record() const;

  uint32_t c1() const { return c1_; }
  uint32_t c2() const { return c1_ + 1; }
  // A chain before the sources was removed: both indexes move down by one.
  void shiftDown();
  Chain& source1() const { return *sources_[0].chain; }
  Chain& source2() const { return *sources_[1].chain; }
  const Chain& output() const { return *output_; }
  // Hands the output chain over when the task is done.
  std::unique_ptr<Chain> takeOutput();

 private:
  struct Source {
    Chain* chain = nullptr;
    uint32_t position = 0;       // cluster index reached; chainLength when exhausted
    uint32_t keyOffset = 0;      // current key in the current cluster (between advances)
    uint32_t slotDistance = 0;   // next value slot below the last slot (between advances)
    uint32_t pending = 0;        // the record read but not yet written (bit 31 clear)
    Cluster* cluster = nullptr;  // the current cluster, while advancing
  };
  // What a failed step must put back.
  struct Checkpoint {
    std::array<Source, 2> sources;
    bool newKey;
    bool hasKey;
    bool done;
    std::array<uint8_t, MAX_KEY_LENGTH + 1> key;
  };

  MergeTask(uint32_t c1, Chain& source1, Chain& source2, std::unique_ptr<Chain> output);
  static ErrorCode restoreUnwritten(const Record& record, std::unique_ptr<Chain> output,
                                    Chain& source1, Chain& source2,
                                    std::unique_ptr<MergeTask>& task);

  // Loads both sources' current clusters at the recorded positions (on the first advance,
  // at their first records).
  ErrorCode load();
  // Records each source's position within its current cluster.
  void savePositions();
  void releaseSources();
  ErrorCode step(Cluster& out, ClusterMap& map);
  // Writes the current key, held by `source` alone, with all its records to `out` in one
  // copy and moves the source to its next key; false (nothing done) when the key goes on
  // in the source's next cluster or would not leave `out` room for one more entry.
  bool copyWholeKey(Source& source, Cluster& out);
  // The same for a key both sources hold, when all of the older source's records of it
  // precede the newer one's (no document in both).
  bool copyKeyOfBoth(Source& older, Source& newer, Cluster& out);
  // After a copy: the source's key is read to its end; moves to the next key of the same
  // cluster and takes its first record.
  void skipToNextKey(Source& source);
  ErrorCode advanceSource(Source& source);
  void emit(Cluster& out, uint32_t value);
  ErrorCode writeOutput(Cluster& out, ClusterMap& map);

  bool exhausted(const Source& source) const;
  Key sourceKey(const Source& source) const;
  bool holdsKey(const Source& source) const;
  Key key() const { return key_.data(); }
  Checkpoint checkpoint();

  uint32_t c1_;
  std::array<Source, 2> sources_;
  std::unique_ptr<Chain> output_;
  bool started_ = false;  // the sources' first records have been read
  bool newKey_ = true;    // the next value written starts a new key
  bool hasKey_ = false;   // key_ holds the last key written to the output
  bool done_ = false;
  std::array<uint8_t, MAX_KEY_LENGTH + 1> key_{};
};

}  // namespace dovrel::index
