// Writing directory entries and continuation clusters. Called by the merge index during
// its first commit phase, on the query thread.
#include "index/DirectoryWriter.h"

#include "foundation/Assert.h"
#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/IndexFile.h"

namespace dovrel::index {

namespace {
constexpr uint8_t EMPTY_KEY[1] = {0};
}  // namespace

DirectoryWriter::DirectoryWriter(IndexFile& file, Cluster& buffer, uint32_t firstCluster,
                                 TakeCluster takeCluster)
    : file_(file), buffer_(buffer), current_(firstCluster), takeCluster_(std::move(takeCluster)) {
  DOVREL_ASSERT(buffer.clusterLength() == file.clusterLength());
  buffer_.clear();
}

void DirectoryWriter::addEntry(Key key, uint32_t value) {
  DOVREL_ASSERT(value & KEY_MARKER);
  buffer_.addKey(key, value);
}

ErrorCode DirectoryWriter::addChainCluster(uint32_t number, Key startKey, Key finKey) {
  DOVREL_ASSERT(number <= MAX_DIRECTORY_CLUSTER_NUMBER);
  addEntry(startKey, number | KEY_MARKER);
  addEntry(finKey, number | KEY_MARKER);
  if (buffer_.freeBytes() >= DIRECTORY_MIN_FREE) return EM_NO_ERRORS;
  uint32_t next = 0;
  if (ErrorCode error = takeCluster_(next)) return error;
  DOVREL_ASSERT(next <= MAX_DIRECTORY_CLUSTER_NUMBER);
  addEntry(EMPTY_KEY, DIRECTORY_CONTINUED);
  addEntry(EMPTY_KEY, next | KEY_MARKER);
  ErrorCode error = file_.writeCluster(buffer_, current_, IndexFile::CacheUse::SKIP);
  buffer_.clear();
  current_ = next;
  return error;
}

ErrorCode DirectoryWriter::addChain(const Chain& chain) {
  for (uint32_t i = 0; i < chain.chainLength(); ++i) {
    if (ErrorCode error =
            addChainCluster(chain.clusterNumber(i), chain.startKey(i), chain.finKey(i))) {
      return error;
    }
  }
  endList();
  return EM_NO_ERRORS;
}

void DirectoryWriter::endList() { addEntry(EMPTY_KEY, DIRECTORY_END); }

void DirectoryWriter::addMerge(const std::array<uint32_t, MERGE_RECORD_NUMBERS>& numbers) {
  for (uint32_t number : numbers) {
    DOVREL_ASSERT(number <= VALUE_MASK);
    addEntry(EMPTY_KEY, number | KEY_MARKER);
  }
}

ErrorCode DirectoryWriter::finish() {
  return file_.writeCluster(buffer_, current_, IndexFile::CacheUse::SKIP);
}

}  // namespace dovrel::index
