// Index file I/O through the platform's page files. Called by the merge index on the query
// thread only.
//
// Positioned transfers (pread/pwrite underneath) replace seek-then-transfer, so there is
// no separate positioning call to fail; a transfer that the system refuses because of its
// position (beyond what the file system can address) is reported as EM_SEEK.
#include "index/IndexFile.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/Cluster.h"
#include "index/ClusterCache.h"
#include "index/IndexFormat.h"

namespace dovrel::index {

namespace {

bool isPositionError(int error) {
  return error == EINVAL || error == EOVERFLOW || error == ESPIPE || error == EFBIG;
}

// Whether the INDEX_BUFFER_SIZE bytes at `block` are all zero. A block with keys or values
// differs in its first words, so the scan ends early on those.
bool isZeroBlock(const uint8_t* block) {
  for (uint32_t i = 0; i < INDEX_BUFFER_SIZE; i += 64) {
    uint64_t any = 0;
    for (uint32_t j = 0; j < 64; j += 8) {
      uint64_t word;
      std::memcpy(&word, block + i + j, sizeof word);
      any |= word;
    }
    if (any != 0) return false;
  }
  return true;
}

}  // namespace

IndexFile::~IndexFile() { close(); }

ErrorCode IndexFile::create(const std::string& path, uint32_t clusterLength) {
  DOVREL_ASSERT_TEXT(!isOpen(), "!opened");
  DOVREL_ASSERT(INDEX_BUFFER_SIZE <= clusterLength);
  DOVREL_ASSERT(clusterLength % INDEX_BUFFER_SIZE == 0);
  std::unique_ptr<platform::PageFile> file;
  if (!platform::Env::current().openPageFile(path, platform::OpenMode::CREATE_ALWAYS, &file)) {
    return EM_CREATE;
  }
  file_ = std::move(file);
  identity_ = ClusterCache::newFileIdentity();
  clusterLength_ = clusterLength;
  clusterNum_ = 0;
  zeroOnDisk_.clear();
  return EM_NO_ERRORS;
}

ErrorCode IndexFile::open(const std::string& path) {
  DOVREL_ASSERT_TEXT(!isOpen(), "!opened");
  std::unique_ptr<platform::PageFile> file;
  if (!platform::Env::current().openPageFile(path, platform::OpenMode::OPEN_EXISTING, &file)) {
    return EM_OPEN;
  }
  file_ = std::move(file);
  identity_ = ClusterCache::newFileIdentity();
  clusterNum_ = 0;
  clusterLength_ = 0;

  AlignedBuffer block;
  ErrorCode error = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, block);
  if (error == EM_NO_ERRORS) error = readBlocks(0, block.data(), INDEX_BUFFER_SIZE);
  if (error != EM_NO_ERRORS) {
    close();
    return error;
  }
  // Only lengths that a cluster can be built with: anything else would reach the cluster's
  // own fatal checks.
  uint32_t clusterLength = decodeInfoBlock(block.data()).clusterLength;
  if (!isValidClusterLength(clusterLength)) {
    close();
    return EM_BAD_DATA;
  }
  uint64_t length = 0;
  if (!file_->size(&length)) {
    close();
    return EM_FILE_SIZE;
  }
  if (length < CLUSTER_AREA_OFFSET || (length - CLUSTER_AREA_OFFSET) % clusterLength != 0 ||
      (length - CLUSTER_AREA_OFFSET) / clusterLength > MAX_DIRECTORY_CLUSTER_NUMBER) {
    close();
    return EM_BAD_DATA;
  }
  clusterLength_ = clusterLength;
  clusterNum_ = static_cast<uint32_t>((length - CLUSTER_AREA_OFFSET) / clusterLength);
  return EM_NO_ERRORS;
}

ErrorCode IndexFile::append(uint32_t& number) {
  if (!isOpen()) return EM_NOT_OPEN;
  DOVREL_ASSERT(clusterNum_ < MAX_DIRECTORY_CLUSTER_NUMBER);
  if (!file_->truncate(clusterOffset(clusterNum_ + 1))) return EM_EXTEND;
  // The extension reads as zero; a failed push loses only that knowledge.
  try {
    zeroOnDisk_.resize(clusterNum_ + 1, false);
    zeroOnDisk_[clusterNum_] = true;
  } catch (const std::bad_alloc&) {
    zeroOnDisk_.clear();
  }
  number = clusterNum_++;
  return EM_NO_ERRORS;
}

ErrorCode IndexFile::writeCluster(Cluster& cluster, uint32_t number, CacheUse use) {
  if (!isOpen()) return EM_NOT_OPEN;
  DOVREL_ASSERT_TEXT(number < clusterNum_, "pos < clusterNum");
  DOVREL_ASSERT(cluster.clusterLength() == clusterLength_);
  cluster.seal();
  // Dropped before the write, so that not even a failed, torn write leaves an entry that
  // differs from the disk.
  ClusterCache::shared().erase(identity_, number);
  const bool zeroOnDisk = number < zeroOnDisk_.size() && zeroOnDisk_[number];
  if (number < zeroOnDisk_.size()) zeroOnDisk_[number] = false;
  // Runs of blocks that hold something are written in one transfer each; runs of zero
  // blocks are skipped where the disk holds zeros already, else zeroed by the file system.
  const uint8_t* bytes = cluster.bytes();
  const uint64_t offset = clusterOffset(number);
  // The copy the cache gets, block run by block run.
  ClusterCache& cache = ClusterCache::shared();
  AlignedBuffer copy = cache.enabled() && use == CacheUse::KEEP
                           ? AlignedBuffer::allocateOptional(clusterLength_)
                           : AlignedBuffer();
  uint32_t start = 0;
  bool zero = isZeroBlock(bytes);  // each block is looked at once
  ErrorCode error = EM_NO_ERRORS;
  while (start < clusterLength_ && error == EM_NO_ERRORS) {
    uint32_t end = start + INDEX_BUFFER_SIZE;
    bool nextZero = zero;
    while (end < clusterLength_ && (nextZero = isZeroBlock(bytes + end)) == zero) {
      end += INDEX_BUFFER_SIZE;
    }
    if (!zero) {
      error = writeBlocks(offset + start, bytes + start, end - start);
      if (copy) std::memcpy(copy.data() + start, bytes + start, end - start);
    } else {
      if (!zeroOnDisk) error = zeroBlocks(offset + start, end - start);
      if (copy) std::memset(copy.data() + start, 0, end - start);
    }
    start = end;
    zero = nextZero;
  }
  // What was just written needs no reading and checking again: a merge reads its sources,
  // and the pool's and merges' new clusters are the next merge's sources. A cluster the
  // writer built is valid by construction, so it enters the cache as if read and checked.
  if (error == EM_NO_ERRORS && copy) {
    ClusterCache::Marks marks = cluster.makeKeyMarks();
    std::shared_ptr<const AlignedBuffer> shared;
    if (guardAllocation([&] { shared = std::make_shared<const AlignedBuffer>(std::move(copy)); }) ==
        EM_NO_ERRORS) {
      cache.insert(identity_, number, ClusterCache::Cached{std::move(shared), std::move(marks)});
    }
  }
  return error;
}

ErrorCode IndexFile::readCluster(Cluster& cluster, uint32_t number) {
  if (!isOpen()) return EM_NOT_OPEN;
  DOVREL_ASSERT_TEXT(number < clusterNum_, "pos < clusterNum");
  DOVREL_ASSERT(cluster.clusterLength() == clusterLength_);
  if (cluster.isReader()) return readIntoReader(cluster, number);
  if (ErrorCode error =
          readBlocks(clusterOffset(number), cluster.bytesToOverwrite(), clusterLength_)) {
    cluster.clear();  // never leave torn bytes that look like a positioned cluster
    return error;
  }
  return cluster.validate();
}

ErrorCode IndexFile::readIntoReader(Cluster& cluster, uint32_t number) {
  ClusterCache& cache = ClusterCache::shared();
  const bool caching = cache.enabled();
  if (caching) {
    ClusterCache::Cached cached = cache.find(identity_, number);
    if (cached.bytes != nullptr) {
      cluster.attach(std::move(cached.bytes), true, std::move(cached.marks));
      return EM_NO_ERRORS;
    }
  }
  // Bytes that the cache (or anybody else) shares are never overwritten: read into new ones.
  if (!cluster.hasPrivateBytes()) {
    AlignedBuffer fresh;
    std::shared_ptr<const AlignedBuffer> bytes;
    ErrorCode error = AlignedBuffer::allocateUnfilled(clusterLength_, fresh);  // read whole
    if (error == EM_NO_ERRORS) {
      error =
          guardAllocation([&] { bytes = std::make_shared<const AlignedBuffer>(std::move(fresh)); });
    }
    if (error != EM_NO_ERRORS) {
      cluster.detach();
      return error;
    }
    cluster.attach(std::move(bytes), false);
  }
  ErrorCode error = readBlocks(clusterOffset(number), cluster.bytesToOverwrite(), clusterLength_);
  if (error == EM_NO_ERRORS) error = cluster.validate();
  if (error != EM_NO_ERRORS) {
    cluster.detach();  // never leave torn bytes that look like a positioned cluster
    return error;
  }
  if (caching) {
    ClusterCache::Marks marks = cluster.makeKeyMarks();
    cluster.setKeyMarks(marks);
    cache.insert(identity_, number, ClusterCache::Cached{cluster.storage(), std::move(marks)});
  }
  return EM_NO_ERRORS;
}

ErrorCode IndexFile::writeInfo(const uint8_t* block, uint32_t number) {
  if (!isOpen()) return EM_NOT_OPEN;
  DOVREL_ASSERT_TEXT(number < INFO_SIZE, "pos < INFO_SIZE");
  return writeBlocks(uint64_t{number} * INDEX_BUFFER_SIZE, block, INDEX_BUFFER_SIZE);
}

ErrorCode IndexFile::readInfo(uint8_t* block, uint32_t number) {
  if (!isOpen()) return EM_NOT_OPEN;
  DOVREL_ASSERT_TEXT(number < INFO_SIZE, "pos < INFO_SIZE");
  return readBlocks(uint64_t{number} * INDEX_BUFFER_SIZE, block, INDEX_BUFFER_SIZE);
}

ErrorCode IndexFile::sync() {
  if (!isOpen()) return EM_NOT_OPEN;
  return file_->sync() ? EM_NO_ERRORS : EM_WRITE;
}

void IndexFile::close() {
  if (file_ != nullptr) {
    // What matters was made durable by sync() at the commit barriers; a late close error
    // changes nothing that a reader could see.
    (void)file_->close();
    file_.reset();
    ClusterCache::shared().eraseFile(identity_);
  }
  identity_ = 0;
  clusterNum_ = 0;
  zeroOnDisk_.clear();
}

uint64_t IndexFile::clusterOffset(uint32_t number) const {
  return CLUSTER_AREA_OFFSET + uint64_t{number} * clusterLength_;
}

ErrorCode IndexFile::writeBlocks(uint64_t offset, const uint8_t* data, uint64_t length) {
  DOVREL_ASSERT(length % INDEX_BUFFER_SIZE == 0);
  std::size_t transferred = 0;
  platform::Status status =
      file_->writeAt(offset, data, static_cast<std::size_t>(length), &transferred);
  if (!status) return isPositionError(status.error()) ? EM_SEEK : EM_WRITE;
  return transferred == length ? EM_NO_ERRORS : EM_WRITE;
}

ErrorCode IndexFile::zeroBlocks(uint64_t offset, uint64_t length) {
  platform::Status status = file_->zeroRange(offset, length);
  if (!status) return isPositionError(status.error()) ? EM_SEEK : EM_WRITE;
  return EM_NO_ERRORS;
}

ErrorCode IndexFile::readBlocks(uint64_t offset, uint8_t* data, uint64_t length) {
  DOVREL_ASSERT(length % INDEX_BUFFER_SIZE == 0);
  std::size_t transferred = 0;
  platform::Status status =
      file_->readAt(offset, data, static_cast<std::size_t>(length), &transferred);
  if (!status) return isPositionError(status.error()) ? EM_SEEK : EM_READ;
  return transferred == length ? EM_NO_ERRORS : EM_READ;
}

}  // namespace dovrel::index
