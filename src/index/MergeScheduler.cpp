// Choosing, advancing and finishing merges. Called by the merge index on the query thread
// only.
#include "index/MergeScheduler.h"

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/Chain.h"
#include "index/ClusterMap.h"
#include "index/IndexFormat.h"

namespace dovrel::index {

namespace {
// The remaining work that any candidate beats when no merge is in progress.
constexpr uint64_t NO_MERGE_WORK = 1000000000;
}  // namespace

MergeScheduler::MergeScheduler(Chains& chains, ClusterMap& map, uint32_t mergeMultiplier)
    : chains_(chains), map_(map), mergeMultiplier_(mergeMultiplier) {
  DOVREL_ASSERT(MIN_MERGE_MULTIPLIER <= mergeMultiplier && mergeMultiplier <= MAX_MERGE_MULTIPLIER);
}

void MergeScheduler::setMergeMultiplier(uint32_t mergeMultiplier) {
  DOVREL_ASSERT(chains_.empty());
  DOVREL_ASSERT(MIN_MERGE_MULTIPLIER <= mergeMultiplier && mergeMultiplier <= MAX_MERGE_MULTIPLIER);
  mergeMultiplier_ = mergeMultiplier;
}

uint32_t MergeScheduler::level(uint32_t chainLength) const {
  uint32_t result = 0;
  for (uint64_t power = mergeMultiplier_; power <= chainLength; power *= mergeMultiplier_) {
    ++result;
  }
  return result;
}

uint32_t MergeScheduler::budget() const {
  uint64_t total = 0;
  for (const auto& chain : chains_) total += chain->chainLength();
  uint32_t a = 1;
  if (total > 0) {
    for (uint64_t power = 1; power <= total; power *= mergeMultiplier_) ++a;
  }
  return a * (mergeMultiplier_ - 1);
}

ErrorCode MergeScheduler::startTask(uint32_t c1) {
  std::unique_ptr<MergeTask> task;
  if (ErrorCode error = MergeTask::start(c1, *chains_[c1], *chains_[c1 + 1], map_.file(), task)) {
    return error;
  }
  if (ErrorCode error = guardAllocation([&] { tasks_.push_back(std::move(task)); })) return error;
  chains_[c1]->setInMerge(true);
  chains_[c1 + 1]->setInMerge(true);
  return EM_NO_ERRORS;
}

void MergeScheduler::finishTop() {
  std::unique_ptr<MergeTask> task = std::move(tasks_.back());
  tasks_.pop_back();
  DOVREL_ASSERT(task->done());
  const uint32_t c1 = task->c1();
  const uint32_t c2 = task->c2();
  for (uint32_t c : {c1, c2}) {
    const Chain& source = *chains_[c];
    for (uint32_t i = 0; i < source.chainLength(); ++i) map_.release(source.clusterNumber(i));
  }
  chains_[c1] = task->takeOutput();
  chains_.erase(chains_.begin() + c2);
  for (const auto& other : tasks_) {
    if (other->c1() > c2) other->shiftDown();
  }
}

ErrorCode MergeScheduler::run(uint32_t& budget, Cluster& out, bool& changed) {
  while (budget > 0) {
    uint64_t best = tasks_.empty() ? NO_MERGE_WORK : tasks_.back()->remainingWork();
    int64_t candidate = -1;
    for (std::size_t i = 0; i + 1 < chains_.size(); ++i) {
      const Chain& first = *chains_[i];
      const Chain& second = *chains_[i + 1];
      if (first.inMerge() || second.inMerge()) continue;
      uint64_t total = uint64_t{first.chainLength()} + second.chainLength();
      if (total < best && level(first.chainLength()) == level(second.chainLength())) {
        candidate = static_cast<int64_t>(i);
        best = total;
      }
    }
    if (tasks_.empty() && candidate < 0) return EM_NO_ERRORS;
    if (candidate >= 0) {
      if (ErrorCode error = startTask(static_cast<uint32_t>(candidate))) return error;
    }
    MergeTask& top = *tasks_.back();
    uint32_t used = 0;
    ErrorCode error = top.advance(budget, out, map_, used);
    budget -= used;
    if (error != EM_NO_ERRORS) return error;
    if (top.done()) {
      finishTop();
      changed = true;
    }
  }
  return EM_NO_ERRORS;
}

ErrorCode MergeScheduler::optimize(Cluster& out, bool& changed, OptimizeResult& result) {
  result = OptimizeResult::MORE;
  uint32_t left = budget();
  if (ErrorCode error = run(left, out, changed)) return error;
  if (left == 0) return EM_NO_ERRORS;
  DOVREL_ASSERT_TEXT(tasks_.empty(), "inMergeNum == 0");
  // A merge is started only with budget to advance it, so that every merge in progress
  // has written output that the directory can record.
  while (chains_.size() > 1 && left > 0) {
    if (ErrorCode error = startTask(static_cast<uint32_t>(chains_.size() - 2))) return error;
    MergeTask& task = *tasks_.back();
    uint32_t used = 0;
    ErrorCode error = task.advance(left, out, map_, used);
    left -= used;
    if (error != EM_NO_ERRORS || !task.done()) return error;
    finishTop();
    changed = true;
  }
  if (chains_.size() > 1) return EM_NO_ERRORS;
  DOVREL_ASSERT_TEXT(chains_.size() == 1, "chainNum == 1");
  result = OptimizeResult::DONE;
  return EM_NO_ERRORS;
}

ErrorCode MergeScheduler::adopt(const MergeTask::Record& record, std::unique_ptr<Chain> output) {
  const uint32_t c1 = record[MERGE_SOURCE1_CHAIN];
  const uint32_t c2 = record[MERGE_SOURCE2_CHAIN];
  if (c2 != c1 + 1 || c2 >= chains_.size() || chains_[c1]->inMerge() || chains_[c2]->inMerge()) {
    return EM_BAD_DATA;
  }
  std::unique_ptr<MergeTask> task;
  if (ErrorCode error =
          MergeTask::restore(record, std::move(output), *chains_[c1], *chains_[c2], task)) {
    return error;
  }
  if (ErrorCode error = guardAllocation([&] { tasks_.push_back(std::move(task)); })) return error;
  chains_[c1]->setInMerge(true);
  chains_[c2]->setInMerge(true);
  return EM_NO_ERRORS;
}

}  // namespace dovrel::index
