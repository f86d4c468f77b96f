// The merges of one merge index: the stack of merges in progress, the policy that chooses
// and advances them a bounded amount of work at a time, and the merging of optimize.
// Owned by the merge index; query thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/ErrorCode.h"
#include "index/MergeIndexTypes.h"
#include "index/MergeTask.h"

namespace dovrel::index {

class Chain;
class Cluster;
class ClusterMap;

// Merges join adjacent chains only, so the chains stay in age order (oldest first), and
// the policy joins chains of the same level only, so their lengths grow geometrically and
// their number stays logarithmic in the number of clusters. One unit of budget is one
// output cluster. The merges on the stack never share a chain; the newest is advanced
// first.
class MergeScheduler {
 public:
  using Chains = std::vector<std::unique_ptr<Chain>>;
  using Tasks = std::vector<std::unique_ptr<MergeTask>>;

  // Works on `chains` (oldest first) and takes clusters from `map`; both must outlive the
  // scheduler. `mergeMultiplier` is 2 to 100.
  MergeScheduler(Chains& chains, ClusterMap& map, uint32_t mergeMultiplier);
  MergeScheduler(const MergeScheduler&) = delete;
  MergeScheduler& operator=(const MergeScheduler&) = delete;

  // The budget of one round of the policy: grows with the logarithm of the clusters in
  // all chains.
  uint32_t budget() const;
  // Runs the merge policy with `budget` units, writing output through `out`; `budget`
  // becomes what is left (0 when merges used it all). Sets `changed` when a merge
  // completed, since that changes the chains. A failed merge step leaves the chains and
  // the merges whole (see MergeTask::advance).
  ErrorCode run(uint32_t& budget, Cluster& out, bool& changed);
  // One round of optimize after the pool was flushed, with at least one chain: the policy,
  // then with what budget is left, merges of the last two chains until one chain remains.
  // `result` is MORE after a failure.
  ErrorCode optimize(Cluster& out, bool& changed, OptimizeResult& result);

  // Puts back a merge recorded in a directory (after the chains have been read), oldest
  // first. EM_BAD_DATA when its chains do not exist, are not adjacent or are in a merge
  // already, or when its progress does not fit its sources.
  ErrorCode adopt(const MergeTask::Record& record, std::unique_ptr<Chain> output);

  // Before any chain exists (an index being opened).
  void setMergeMultiplier(uint32_t mergeMultiplier);
  // Forgets every merge in progress (the index is closing); the chains keep their marks.
  void clear() { tasks_.clear(); }

  const Tasks& tasks() const { return tasks_; }
  uint32_t inMergeNum() const { return static_cast<uint32_t>(tasks_.size()); }

 private:
  uint32_t level(uint32_t chainLength) const;
  ErrorCode startTask(uint32_t c1);

  // Finishes the newest task, which is done: its output replaces both sources.
  void finishTop();

  Chains& chains_;
  ClusterMap& map_;
  uint32_t mergeMultiplier_;
  Tasks tasks_;
};

}  // namespace dovrel::index
