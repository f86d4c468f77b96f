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

bool MergeScheduler::startTask(uint32_t c1, ErrorCode& error) {
  std::unique_ptr<MergeTask> task =
      MergeTask::start(c1, *chains_[c1], *chains_[c1 + 1], map_.file(), error);
  if (task == nullptr) return false;
  if (!guardAllocation(error, [&] { tasks_.push_back(std::move(task)); })) return false;
  chains_[c1]->setInMerge(true);
  chains_[c1 + 1]->setInMerge(true);
  return true;
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

uint32_t MergeScheduler::run(uint32_t budget, Cluster& out, bool& changed, ErrorCode& error) {
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
    if (tasks_.empty() && candidate < 0) return budget;
    if (candidate >= 0 && !startTask(static_cast<uint32_t>(candidate), error)) return budget;
    MergeTask& top = *tasks_.back();
    budget -= top.advance(budget, out, map_, error);
    if (error != EM_NO_ERRORS) return budget;
    if (top.done()) {
      finishTop();
      changed = true;
    }
  }
  return 0;
}

OptimizeResult MergeScheduler::optimize(Cluster& out, bool& changed, ErrorCode& error) {
  uint32_t left = run(budget(), out, changed, error);
  if (error != EM_NO_ERRORS || left == 0) return OptimizeResult::MORE;
  DOVREL_ASSERT_TEXT(tasks_.empty(), "inMergeNum == 0");
  // A merge is started only with budget to advance it, so that every merge in progress
  // has written output that the directory can record.
  while (chains_.size() > 1 && left > 0) {
    if (!startTask(static_cast<uint32_t>(chains_.size() - 2), error)) return OptimizeResult::MORE;
    MergeTask& task = *tasks_.back();
    left -= task.advance(left, out, map_, error);
    if (error != EM_NO_ERRORS || !task.done()) return OptimizeResult::MORE;
    finishTop();
    changed = true;
  }
  if (chains_.size() > 1) return OptimizeResult::MORE;
  DOVREL_ASSERT_TEXT(chains_.size() == 1, "chainNum == 1");
  return OptimizeResult::DONE;
}

void MergeScheduler::adopt(const MergeTask::Record& record, std::unique_ptr<Chain> output,
                           ErrorCode& error) {
  const uint32_t c1 = record[MERGE_SOURCE1_CHAIN];
  const uint32_t c2 = record[MERGE_SOURCE2_CHAIN];
  if (c2 != c1 + 1 || c2 >= chains_.size() || chains_[c1]->inMerge() || chains_[c2]->inMerge()) {
    error = EM_BAD_DATA;
    return;
  }
  std::unique_ptr<MergeTask> task =
      MergeTask::restore(record, std::move(output), *chains_[c1], *chains_[c2], error);
  if (task == nullptr) return;
  if (!guardAllocation(error, [&] { tasks_.push_back(std::move(task)); })) return;
  chains_[c1]->setInMerge(true);
  chains_[c2]->setInMerge(true);
}

}  // namespace dovrel::index
