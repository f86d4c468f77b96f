// Merge steps with continued keys and progress that survives between steps and commits.
// Called by the merge index on the query thread only.
//
// Between advances each source is described by its cluster position, the byte offset of
// its current key, the slot distance of its next unread value and its pending record (read
// from the cluster, not yet written). The key being written is kept as a copy: it is the
// last key of the output so far, so a restored task takes it from the output chain's last
// cluster. Invariants between advances:
//  1. The new-key flag is clear exactly when a source's pending record belongs to the key
//     being written (its values continue in the next output cluster).
//  2. Every key a source will still yield is greater than the key being written, or equal
//     to it while the flag is clear.
//  3. The output chain holds every record consumed so far, in key and record order.
#include "index/MergeTask.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/ClusterMap.h"
#include "index/IndexFile.h"
#include "index/MergeIndexTypes.h"

namespace dovrel::index {

MergeTask::MergeTask(uint32_t c1, Chain& source1, Chain& source2, std::unique_ptr<Chain> output)
    : c1_(c1), output_(std::move(output)) {
  sources_[0].chain = &source1;
  sources_[1].chain = &source2;
}

MergeTask::~MergeTask() = default;

ErrorCode MergeTask::start(uint32_t c1, Chain& source1, Chain& source2, IndexFile& file,
                           std::unique_ptr<MergeTask>& out) {
  DOVREL_ASSERT_TEXT(source1.chainLength() > 0, "mi->data[c1]->chainLength > 0");
  DOVREL_ASSERT_TEXT(source2.chainLength() > 0, "mi->data[c2]->chainLength > 0");
  DOVREL_ASSERT_TEXT(!source1.inMerge(), "!source1->inMerge");
  DOVREL_ASSERT_TEXT(!source2.inMerge(), "!source2->inMerge");
  std::unique_ptr<Chain> output(new (std::nothrow) Chain(&file, file.clusterLength()));
  std::unique_ptr<MergeTask> task;
  if (output != nullptr) task.reset(new (std::nothrow) MergeTask(c1, source1, source2, nullptr));
  if (task == nullptr) return EM_NO_MEMORY;
  task->output_ = std::move(output);
  out = std::move(task);
  return EM_NO_ERRORS;
}

ErrorCode MergeTask::restore(const Record& record, std::unique_ptr<Chain> output, Chain& source1,
                             Chain& source2, std::unique_ptr<MergeTask>& out) {
  if (output == nullptr || record[MERGE_SOURCE1_POSITION] > source1.chainLength() ||
      record[MERGE_SOURCE2_POSITION] > source2.chainLength() || record[MERGE_NEW_KEY] > 1) {
    return EM_BAD_DATA;
  }
  if (output->chainLength() == 0) {
    return restoreUnwritten(record, std::move(output), source1, source2, out);
  }
  std::unique_ptr<MergeTask> task(
      new (std::nothrow) MergeTask(record[MERGE_SOURCE1_CHAIN], source1, source2, nullptr));
  if (task == nullptr) return EM_NO_MEMORY;
  for (std::size_t i = 0; i < 2; ++i) {
    Source& source = task->sources_[i];
    source.position = record[MERGE_SOURCE1_POSITION + i];
    source.keyOffset = record[MERGE_SOURCE1_KEY_OFFSET + i];
    source.slotDistance = record[MERGE_SOURCE1_SLOT_DISTANCE + i];
    source.pending = record[MERGE_SOURCE1_PENDING + i];
  }
  Key last = output->finKey(output->chainLength() - 1);
  std::memcpy(task->key_.data(), last, keySize(last));
  task->output_ = std::move(output);
  task->started_ = true;
  task->hasKey_ = true;
  task->newKey_ = record[MERGE_NEW_KEY] != 0;

  ErrorCode loadError = task->load();
  if (loadError == EM_NO_ERRORS) {
    bool continues = task->holdsKey(task->sources_[0]) || task->holdsKey(task->sources_[1]);
    if (continues == task->newKey_) loadError = EM_BAD_DATA;  // invariant 1
    for (const Source& source : task->sources_) {
      if (!task->exhausted(source) && keyCompare(task->sourceKey(source), task->key()) < 0) {
        loadError = EM_BAD_DATA;  // invariant 2
      }
    }
  }
  task->releaseSources();
  if (loadError != EM_NO_ERRORS) return loadError;
  out = std::move(task);
  return EM_NO_ERRORS;
}

ErrorCode MergeTask::restoreUnwritten(const Record& record, std::unique_ptr<Chain> output,
                                      Chain& source1, Chain& source2,
                                      std::unique_ptr<MergeTask>& out) {
  // Nothing was written, so nothing was consumed: each source still stands at the first
  // key of its first cluster. Positions or key offsets past that would mean records left
  // the sources without reaching the output. The slot distances, pendings and the flag
  // say at most whether the first record of each source was read already; a fresh start
  // reads it again, so they are not trusted.
  for (std::size_t i = 0; i < 2; ++i) {
    if (record[MERGE_SOURCE1_POSITION + i] != 0 || record[MERGE_SOURCE1_KEY_OFFSET + i] != 0) {
      return EM_BAD_DATA;
    }
  }
  std::unique_ptr<MergeTask> task(
      new (std::nothrow) MergeTask(record[MERGE_SOURCE1_CHAIN], source1, source2, nullptr));
  if (task == nullptr) return EM_NO_MEMORY;
  task->output_ = std::move(output);
  // Each source must begin with the beginning of a key, as the first advance requires.
  ErrorCode loadError = task->load();
  task->releaseSources();
  if (loadError != EM_NO_ERRORS) return loadError;
  // The check read the first records; the first advance reads them again.
  task->started_ = false;
  for (Source& source : task->sources_) source.pending = 0;
  out = std::move(task);
  return EM_NO_ERRORS;
}

uint32_t MergeTask::remainingWork() const {
  uint32_t total = 0;
  for (const Source& source : sources_) total += source.chain->chainLength() - source.position;
  return total;
}

MergeTask::Record MergeTask::record() const {
  Record record{};
  record[MERGE_SOURCE1_CHAIN] = c1();
  record[MERGE_SOURCE2_CHAIN] = c2();
  for (std::size_t i = 0; i < 2; ++i) {
    const Source& source = sources_[i];
    record[MERGE_SOURCE1_POSITION + i] = source.position;
    record[MERGE_SOURCE1_KEY_OFFSET + i] = source.keyOffset;
    record[MERGE_SOURCE1_SLOT_DISTANCE + i] = source.slotDistance;
    record[MERGE_SOURCE1_PENDING + i] = source.pending;
  }
  record[MERGE_NEW_KEY] = newKey_ ? 1 : 0;
  return record;
}

void MergeTask::shiftDown() {
  DOVREL_ASSERT(c1_ > 0);
  --c1_;
}

std::unique_ptr<Chain> MergeTask::takeOutput() {
  DOVREL_ASSERT(done_);
  return std::move(output_);
}

bool MergeTask::exhausted(const Source& source) const {
  return source.position >= source.chain->chainLength();
}

Key MergeTask::sourceKey(const Source& source) const {
  return exhausted(source) ? keyMax : source.cluster->currentKey();
}

bool MergeTask::holdsKey(const Source& source) const {
  return hasKey_ && !exhausted(source) && keyEqual(source.cluster->currentKey(), key());
}

ErrorCode MergeTask::load() {
  for (Source& source : sources_) {
    source.cluster = nullptr;
    if (exhausted(source)) continue;
    Cluster* cluster = nullptr;
    if (ErrorCode error = source.chain->loadCluster(source.position, cluster)) return error;
    if (!started_) {
      // A chain begins with the beginning of a key.
      if (!cluster->firstKeyStartsHere()) return EM_BAD_DATA;
      source.pending = cluster->takeValue() & VALUE_MASK;
    } else if (!cluster->restorePosition(source.keyOffset, source.slotDistance)) {
      return EM_BAD_DATA;
    }
    source.cluster = cluster;
  }
  started_ = true;
  return EM_NO_ERRORS;
}

void MergeTask::savePositions() {
  for (Source& source : sources_) {
    if (exhausted(source)) {
      source.keyOffset = 0;
      source.slotDistance = 0;
      source.pending = 0;
    } else {
      source.keyOffset = source.cluster->currentKeyOffset();
      source.slotDistance = source.cluster->currentSlotDistance();
    }
  }
}

void MergeTask::releaseSources() {
  for (Source& source : sources_) {
    source.cluster = nullptr;
    source.chain->release();
  }
}

MergeTask::Checkpoint MergeTask::checkpoint() {
  savePositions();
  return Checkpoint{sources_, newKey_, hasKey_, done_, key_};
}

ErrorCode MergeTask::advance(uint32_t units, Cluster& out, ClusterMap& map, uint32_t& used) {
  used = 0;
  if (ErrorCode error = load()) {
    releaseSources();
    return error;
  }
  while (!done_ && used < units) {
    Checkpoint saved = checkpoint();
    ErrorCode stepError = step(out, map);
    ++used;
    if (stepError != EM_NO_ERRORS) {
      // The output chain did not grow; put the sources back where the step began. Their
      // clusters are read again from the saved positions by the next advance.
      sources_ = saved.sources;
      newKey_ = saved.newKey;
      hasKey_ = saved.hasKey;
      done_ = saved.done;
      key_ = saved.key;
      releaseSources();
      return stepError;
    }
  }
  savePositions();
  releaseSources();
  return EM_NO_ERRORS;
}

ErrorCode MergeTask::step(Cluster& out, ClusterMap& map) {
  out.clear();
  Source& first = sources_[0];
  Source& second = sources_[1];
  for (;;) {
    if (newKey_) {
      Key key1 = sourceKey(first);
      Key key2 = sourceKey(second);
      if (key1 == keyMax && key2 == keyMax) {
        done_ = true;
        return out.isEmpty() ? EM_NO_ERRORS : writeOutput(out, map);
      }
      Key next = keyCompare(key1, key2) <= 0 ? key1 : key2;
      // Sorted sources only ever yield greater keys (invariant 2); a cluster that breaks
      // this is damaged, and writing on would produce an unreadable output.
      if (hasKey_ && keyCompare(next, key()) <= 0) return EM_BAD_DATA;
      std::memcpy(key_.data(), next, keySize(next));
      hasKey_ = true;
    }
    bool has1 = holdsKey(first);
    bool has2 = holdsKey(second);
    if (!has1 && !has2) {
      newKey_ = true;
      continue;
    }
    if (newKey_ && (has1 != has2 ? copyWholeKey(has1 ? first : second, out)
                                 : copyKeyOfBoth(first, second, out))) {
      continue;
    }
    uint32_t value;
    ErrorCode error = EM_NO_ERRORS;
    if (has1 && has2 && recordOrder(first.pending) == recordOrder(second.pending)) {
      // One document in both: the newer chain's record wins and the older one is dropped.
      value = second.pending;
      error = advanceSource(second);
      if (error == EM_NO_ERRORS) error = advanceSource(first);
    } else if (has1 && (!has2 || recordOrder(first.pending) < recordOrder(second.pending))) {
      value = first.pending;
      error = advanceSource(first);
    } else {
      value = second.pending;
      error = advanceSource(second);
    }
    if (error != EM_NO_ERRORS) return error;
    emit(out, value);
    // Room for one more entry of any size, so the next emission always fits.
    if (out.freeBytes() < MAX_ENTRY_SIZE) {
      error = writeOutput(out, map);
      newKey_ = !holdsKey(first) && !holdsKey(second);
      return error;
    }
  }
}

bool MergeTask::copyWholeKey(Source& source, Cluster& out) {
  // Only one source has the key, so every record of it goes out as it is, in order. When
  // the key ends in this cluster and the output keeps room for one more entry after it,
  // no output cluster ends inside the key either: the values move in one copy, with the
  // same bytes as one emission each.
  Cluster* cluster = source.cluster;
  if (cluster->atLastKey()) return false;
  const uint32_t more = cluster->unreadValues();
  const uint64_t bytes =
      uint64_t{keyLength(key())} + STORED_KEY_OVERHEAD + VALUE_SLOT_SIZE * (uint64_t{more} + 1);
  if (out.freeBytes() < bytes + MAX_ENTRY_SIZE) return false;
  out.addKeyWithValues(key(), source.pending | KEY_MARKER, cluster->nextValueSlot(), more);
  newKey_ = true;
  skipToNextKey(source);
  return true;
}

void MergeTask::skipToNextKey(Source& source) {
  Cluster* cluster = source.cluster;
  cluster->skipValues();
  // The next key lies in this cluster (the copies take no cluster's last key): nextKey
  // finds it and nothing is read from disk.
  const bool next = cluster->nextKey();
  DOVREL_ASSERT(next);
  source.pending = cluster->takeValue() & VALUE_MASK;
}

bool MergeTask::copyKeyOfBoth(Source& older, Source& newer, Cluster& out) {
  // Both sources have the key. When every record of the older one comes before the first
  // of the newer one (documents are numbered as they are added, so that is the rule), the
  // merge takes all of the older then all of the newer: two copies, when both lists end in
  // their clusters and the output keeps room for one more entry after them.
  Cluster* a = older.cluster;
  Cluster* b = newer.cluster;
  if (a->atLastKey() || b->atLastKey()) return false;
  const uint32_t moreA = a->unreadValues();
  const uint32_t moreB = b->unreadValues();
  const uint32_t lastA = moreA == 0 ? older.pending : a->nextValueSlot()[-int64_t{moreA - 1}];
  if (recordOrder(lastA) >= recordOrder(newer.pending)) return false;
  const uint64_t bytes = uint64_t{keyLength(key())} + STORED_KEY_OVERHEAD +
                         VALUE_SLOT_SIZE * (uint64_t{moreA} + moreB + 2);
  if (out.freeBytes() < bytes + MAX_ENTRY_SIZE) return false;
  out.addKeyWithValues(key(), older.pending | KEY_MARKER, a->nextValueSlot(), moreA);
  out.addValues(newer.pending, b->nextValueSlot(), moreB);
  newKey_ = true;
  skipToNextKey(older);
  skipToNextKey(newer);
  return true;
}

void MergeTask::emit(Cluster& out, uint32_t value) {
  if (newKey_) {
    out.addKey(key(), value | KEY_MARKER);
    newKey_ = false;
  } else if (!out.isEmpty()) {
    out.addValue(value);
  } else {
    out.addKey(key(), value);  // the key continues from the previous output cluster
  }
}

ErrorCode MergeTask::advanceSource(Source& source) {
  Cluster* cluster = source.cluster;
  if (!cluster->valuesExhausted() || cluster->nextKey()) {
    source.pending = cluster->takeValue() & VALUE_MASK;
    return EM_NO_ERRORS;
  }
  uint32_t previous = source.position++;
  if (exhausted(source)) {
    source.cluster = nullptr;
    return EM_NO_ERRORS;
  }
  if (ErrorCode error = source.chain->loadCluster(source.position, cluster)) return error;
  // The cluster continues the key just left exactly when the chain says so.
  bool continues =
      keyEqual(source.chain->startKey(source.position), source.chain->finKey(previous));
  if (continues == cluster->firstKeyStartsHere()) return EM_BAD_DATA;
  source.cluster = cluster;
  source.pending = cluster->takeValue() & VALUE_MASK;
  return EM_NO_ERRORS;
}

ErrorCode MergeTask::writeOutput(Cluster& out, ClusterMap& map) {
  uint32_t number = 0;
  if (ErrorCode error = map.take(number)) return error;
  ErrorCode error = map.file().writeCluster(out, number);
  if (error == EM_NO_ERRORS) error = output_->append(number, out.firstKey(), out.lastKey());
  if (error != EM_NO_ERRORS) map.release(number);
  return error;
}

}  // namespace dovrel::index
