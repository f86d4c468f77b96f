// The engine's calls in the shape the index tests use: a case makes a run of calls and
// checks the code once, after the run. Each helper makes one call, hands back the value
// the call produced and, when the call fails, records its code in `error` (a later failure
// replaces an earlier one; a success leaves `error` alone). The engine itself never carries
// a code from one call into the next. Test thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ErrorCode.h"
#include "index/AlignedBuffer.h"
#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/ClusterMap.h"
#include "index/Directory.h"
#include "index/IndexFile.h"
#include "index/MergeIndex.h"
#include "index/MergePool.h"
#include "index/MergeTask.h"

namespace dovrel::index::test {

// Records `code` in `error` when it is a failure.
inline void keep(ErrorCode& error, ErrorCode code) {
  if (code != EM_NO_ERRORS) error = code;
}

// --- Objects made by the engine: null after a failure -------------------------------------

inline std::unique_ptr<MergeIndex> createIndex(const std::string& path, uint32_t clusterLength,
                                               uint32_t mergeMultiplier, ErrorCode& error) {
  std::unique_ptr<MergeIndex> index;
  keep(error, MergeIndex::create(path, clusterLength, mergeMultiplier, index));
  return index;
}

inline std::unique_ptr<MergeIndex> openIndex(const std::string& path, OpenMode mode,
                                             ErrorCode& error) {
  std::unique_ptr<MergeIndex> index;
  keep(error, MergeIndex::open(path, mode, index));
  return index;
}

inline std::unique_ptr<Cluster> makeCluster(uint32_t clusterLength, ErrorCode& error) {
  std::unique_ptr<Cluster> cluster;
  keep(error, Cluster::create(clusterLength, cluster));
  return cluster;
}

inline std::unique_ptr<Cluster> makeReader(uint32_t clusterLength, ErrorCode& error) {
  std::unique_ptr<Cluster> cluster;
  keep(error, Cluster::createReader(clusterLength, cluster));
  return cluster;
}

inline std::unique_ptr<MergePool> makePool(uint32_t clusterLength, ErrorCode& error) {
  std::unique_ptr<MergePool> pool;
  keep(error, MergePool::create(clusterLength, pool));
  return pool;
}

inline AlignedBuffer allocate(std::size_t size, ErrorCode& error) {
  AlignedBuffer buffer;
  keep(error, AlignedBuffer::allocate(size, buffer));
  return buffer;
}

inline std::unique_ptr<MergeTask> startTask(uint32_t c1, Chain& source1, Chain& source2,
                                            IndexFile& file, ErrorCode& error) {
  std::unique_ptr<MergeTask> task;
  keep(error, MergeTask::start(c1, source1, source2, file, task));
  return task;
}

inline std::unique_ptr<MergeTask> restoreTask(const MergeTask::Record& record,
                                              std::unique_ptr<Chain> output, Chain& source1,
                                              Chain& source2, ErrorCode& error) {
  std::unique_ptr<MergeTask> task;
  keep(error, MergeTask::restore(record, std::move(output), source1, source2, task));
  return task;
}

// --- Merge index --------------------------------------------------------------------------

// True when there is no visible key.
inline bool startSearch(MergeIndex& index, SearchMode mode, ErrorCode& error) {
  bool empty = true;
  const ErrorCode failure = index.startSearch(mode, empty);
  keep(error, failure);
  return failure != EM_NO_ERRORS || empty;
}

// SEARCH_SMALLER after a failure.
inline SearchCode findKey(MergeIndex& index, Key key, SearchMode mode, ErrorCode& error) {
  SearchCode code = SEARCH_SMALLER;
  const ErrorCode failure = index.findKey(key, mode, code);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? code : SEARCH_SMALLER;
}

// True at the end (the beginning), and after a failure.
inline bool nextKey(MergeIndex& index, ErrorCode& error) {
  bool atEnd = true;
  const ErrorCode failure = index.nextKey(atEnd);
  keep(error, failure);
  return failure != EM_NO_ERRORS || atEnd;
}

inline bool prevKey(MergeIndex& index, ErrorCode& error) {
  bool atEnd = true;
  const ErrorCode failure = index.prevKey(atEnd);
  keep(error, failure);
  return failure != EM_NO_ERRORS || atEnd;
}

inline OptimizeResult optimize(MergeIndex& index, ErrorCode& error) {
  OptimizeResult result = OptimizeResult::MORE;
  keep(error, index.optimize(result));
  return result;
}

inline bool collectKeys(MergeIndex& index, Key start, const std::function<KeyStep(Key)>& step,
                        SearchMode mode, std::vector<uint32_t>& out, ErrorCode& error) {
  bool done = true;
  keep(error, index.collectKeys(start, step, mode, out, done));
  return done;
}

// --- Chains -------------------------------------------------------------------------------

// SEARCH_SMALLER after a failure.
inline SearchCode find(Chain& chain, Key key, ErrorCode& error) {
  SearchCode code = SEARCH_SMALLER;
  const ErrorCode failure = chain.find(key, code);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? code : SEARCH_SMALLER;
}

// True when the chain stands on a key; false at the end (the start) and after a failure.
inline bool nextKey(Chain& chain, ErrorCode& error) {
  bool onKey = false;
  const ErrorCode failure = chain.nextKey(onKey);
  keep(error, failure);
  return failure == EM_NO_ERRORS && onKey;
}

inline bool prevKey(Chain& chain, ErrorCode& error) {
  bool onKey = false;
  const ErrorCode failure = chain.prevKey(onKey);
  keep(error, failure);
  return failure == EM_NO_ERRORS && onKey;
}

// Chain::NO_VALUE after a failure.
inline uint32_t nextValue(Chain& chain, ErrorCode& error) {
  uint32_t value = Chain::NO_VALUE;
  keep(error, chain.nextValue(value));
  return value;
}

inline uint32_t peekValue(Chain& chain, ErrorCode& error) {
  uint32_t value = Chain::NO_VALUE;
  keep(error, chain.peekValue(value));
  return value;
}

inline void append(Chain& chain, uint32_t clusterNumber, Key startKey, Key finKey,
                   ErrorCode& error) {
  keep(error, chain.append(clusterNumber, startKey, finKey));
}

// Null after a failure.
inline Cluster* loadCluster(Chain& chain, uint32_t i, ErrorCode& error) {
  Cluster* cluster = nullptr;
  const ErrorCode failure = chain.loadCluster(i, cluster);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? cluster : nullptr;
}

// --- Files and cluster maps ---------------------------------------------------------------

// The cluster length, 0 after a failure.
inline uint32_t open(IndexFile& file, const std::string& path, ErrorCode& error) {
  const ErrorCode failure = file.open(path);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? file.clusterLength() : 0;
}

// The new cluster's number, 0 after a failure.
inline uint32_t append(IndexFile& file, ErrorCode& error) {
  uint32_t number = 0;
  const ErrorCode failure = file.append(number);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? number : 0;
}

inline uint32_t take(ClusterMap& map, ErrorCode& error) {
  uint32_t number = 0;
  const ErrorCode failure = map.take(number);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? number : 0;
}

inline uint32_t takeDirectory(ClusterMap& map, ErrorCode& error) {
  uint32_t number = 0;
  const ErrorCode failure = map.takeDirectory(number);
  keep(error, failure);
  return failure == EM_NO_ERRORS ? number : 0;
}

inline void readDirectory(IndexFile& file, Cluster& buffer, uint32_t firstCluster, Directory* out,
                          ErrorCode& error) {
  keep(error, index::readDirectory(file, buffer, firstCluster, out));
}

// The steps run.
inline uint32_t advance(MergeTask& task, uint32_t units, Cluster& out, ClusterMap& map,
                        ErrorCode& error) {
  uint32_t used = 0;
  keep(error, task.advance(units, out, map, used));
  return used;
}

}  // namespace dovrel::index::test
