// The index file: four copies of the information block, then clusters of one length, all
// moved in whole 64 KiB blocks without the system's cache (validated clusters are kept in
// the process's cluster cache). Owned and used by one merge index on the query thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ErrorCode.h"
#include "platform/Env.h"

namespace dovrel::index {

class Cluster;

// An open (or not yet open) index file. Every failure is returned as an EM_* code; nothing
// throws. Operations on a file that is not open return EM_NOT_OPEN. A failed call leaves
// the file open and usable (what a failed write left on disk is undefined), except where
// its comment says otherwise. The file is held exclusively while open; destroying the
// object closes it.
class IndexFile {
 public:
  IndexFile() = default;
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;
  ~IndexFile();

  // Creates the file, or truncates an existing one, for exclusive reading and writing;
  // EM_CREATE on failure. The file then holds no cluster and no information area: the
  // first commit writes that. Requires a closed object and a cluster length that is a
  // multiple of INDEX_BUFFER_SIZE (fatal otherwise).
  ErrorCode create(const std::string& path, uint32_t clusterLength);
  // Opens an existing file; clusterLength() then returns its cluster length. EM_OPEN when
  // it cannot be opened, EM_READ when block 0 cannot be read whole, EM_BAD_DATA when block
  // 0 names a cluster length the system does not write (a power of two from 2^16 to 2^24)
  // or the file length is not the information area plus whole clusters, EM_FILE_SIZE when
  // the length cannot be read. On failure the file is closed.
  ErrorCode open(const std::string& path);

  // Extends the file by one cluster and sets `number` to it; the new cluster's contents
  // are undefined until written. EM_EXTEND on failure (nothing changes).
  ErrorCode append(uint32_t& number);
  // Seals `cluster` and writes it as cluster `number` (< clusterNum(), fatal otherwise).
  // The file then holds exactly the cluster's bytes; its 64 KiB blocks of zero bytes (the
  // free space between keys and values, mostly) are not transferred: a cluster appended and
  // never written reads as zero already, and elsewhere the file system zeroes them.
  // With CacheUse::KEEP the written bytes enter the cluster cache (see readCluster); a
  // cluster read only when the file is opened (the directory) is written with SKIP.
  enum class CacheUse { KEEP, SKIP };
  ErrorCode writeCluster(Cluster& cluster, uint32_t number, CacheUse use = CacheUse::KEEP);
  // Reads cluster `number` (< clusterNum(), fatal otherwise) and validates it; EM_READ on
  // a failed or short read, EM_BAD_DATA when it fails validation. A reading cluster
  // (Cluster::createReader) is served from the cluster cache when the cluster was read and
  // validated before and not written since; else it gets the bytes read, which then enter
  // the cache. It may also fail with EM_NO_MEMORY, and has no bytes after any failure.
  ErrorCode readCluster(Cluster& cluster, uint32_t number);
  // Writes or reads information block `number` (< INFO_SIZE, fatal otherwise): exactly
  // INDEX_BUFFER_SIZE bytes at `block`, best aligned to IO_ALIGNMENT.
  ErrorCode writeInfo(const uint8_t* block, uint32_t number);
  ErrorCode readInfo(uint8_t* block, uint32_t number);
  // Makes everything written so far durable (the commit's barriers); EM_WRITE on failure.
  ErrorCode sync();
  // Closes the file; a closed file may be created or opened again.
  void close();

  bool isOpen() const { return file_ != nullptr; }
  uint32_t clusterLength() const { return clusterLength_; }
  // Clusters in the file, derived from its length.
  uint32_t clusterNum() const { return clusterNum_; }

 private:
  // Transfers `length` bytes (a multiple of INDEX_BUFFER_SIZE) at `offset` in one call; a
  // failed or short transfer reports EM_WRITE or EM_READ.
  ErrorCode writeBlocks(uint64_t offset, const uint8_t* data, uint64_t length);
  ErrorCode readBlocks(uint64_t offset, uint8_t* data, uint64_t length);
  // Makes `length` bytes at `offset` zero on disk; EM_WRITE on failure.
  ErrorCode zeroBlocks(uint64_t offset, uint64_t length);
  uint64_t clusterOffset(uint32_t number) const;
  ErrorCode readIntoReader(Cluster& cluster, uint32_t number);

  std::unique_ptr<platform::PageFile> file_;
  uint32_t clusterLength_ = 0;
  uint32_t clusterNum_ = 0;
  // Per cluster: appended by this opening and not written since, so that it reads as zero.
  std::vector<bool> zeroOnDisk_;
  // Names this opening of the file in the cluster cache; drawn afresh by create and open.
  uint64_t identity_ = 0;
};

}  // namespace dovrel::index
