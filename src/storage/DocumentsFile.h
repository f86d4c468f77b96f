// The documents file of a table: byte records addressed by document numbers handed out in
// sequence, an index of record offsets kept in copy-on-write branches, and a two-phase
// commit that leaves the file at the previous or at the new commit after any crash.
// Not thread-safe: used by its table under the parser's semaphore only.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/Poolable.h"
#include "storage/BufferedFile.h"
#include "storage/DocumentsBranch.h"
#include "storage/DocumentsFileFormat.h"
#include "storage/OpenMode.h"

namespace dovrel {

// The answer of every documents-file operation. Codes 4, 6 and 7 put the file into its
// disk-error state, after which every operation answers DF_DISK_ERROR_STATE.
enum [[nodiscard]] DocumentsFileResult : int{
    DF_DONE = 0,
    DF_FILE_FULL = 1,         // 2^30 documents were added already
    DF_NO_SUCH_DOCUMENT = 2,  // the number is at or above the document count
    DF_ALREADY_DELETED = 3,
    DF_CANNOT_CREATE = 4,     // creating the file failed
    DF_IO_FAILURE = 6,        // the operating system failed a transfer
    DF_CORRUPT = 7,           // a CRC or a header does not match
    DF_DISK_ERROR_STATE = 8,  // an earlier 4, 6 or 7 stopped the file
};

class DocumentsFile : public Object {
 public:
  enum State {
    state_data_unchanged,
    state_data_changed,
    state_empty_commit_started,   // the first phase found nothing to write
    state_actual_commit_started,  // the first phase wrote pages 0 and 1 of the header
    state_disk_error,             // final
  };

  // Creates a new, empty file at `path`, replacing any file there. On success `*file` holds
  // the open file; on failure it is empty and the answer is DF_CANNOT_CREATE.
  static DocumentsFileResult create(const std::string& path, std::shared_ptr<DocumentsFile>* file);
  // Opens an existing file, settling a commit that a crash interrupted: openNormal rolls a
  // prepared commit forward, openAfterCommit rolls it back. Records appended after the
  // commit that the file settles on are dropped. On failure `*file` is empty.
  static DocumentsFileResult open(const std::string& path, OpenMode mode,
                                  std::shared_ptr<DocumentsFile>* file);

  ~DocumentsFile() override;  // writes nothing that a commit refers to
  DocumentsFile(const DocumentsFile&) = delete;
  DocumentsFile& operator=(const DocumentsFile&) = delete;

  // The document operations require state_data_unchanged or state_data_changed (calling
  // them between the commit phases is a program error). A record of length 0 may have a
  // null `record`.

  // Appends a record as the next document; `*number` receives its number.
  DocumentsFileResult addDocument(const void* record, uint32_t length, uint32_t* number);
  // Points document `number` at a newly appended record; the old record stays unreferenced
  // in the file. The deleted flag is kept.
  DocumentsFileResult replaceDocument(uint32_t number, const void* record, uint32_t length);
  DocumentsFileResult deleteDocument(uint32_t number);
  DocumentsFileResult isDeleted(uint32_t number, bool* deleted);
  DocumentsFileResult getLength(uint32_t number, uint32_t* length);
  // Reads the record into `buffer`, which must hold at least getLength bytes
  // (`bufferLength`), and checks its CRC.
  DocumentsFileResult readDocument(uint32_t number, void* buffer, uint32_t bufferLength);

  // Documents ever added (the next number) and documents deleted; DF_DISK_ERROR_STATE once
  // the file has stopped.
  DocumentsFileResult getDocumentCount(uint32_t* count) const;
  DocumentsFileResult getDeletedCount(uint32_t* count) const;

  // The two phases of a commit. The caller runs commitPrepare on every file, records that
  // the first phase is complete, and only then runs commitFinish on every file.
  DocumentsFileResult commitPrepare();
  DocumentsFileResult commitFinish();

  State state() const { return state_; }

  // The branch cache: branches that were loaded and are unchanged since their last save stay
  // decoded in memory, so that going back to one costs no read, no CRC and no decoding. The
  // bound holds for all documents files of the process together; by default it is a 32nd of
  // the memory that platform::physicalMemoryBytes reports, at least 16 MiB. 0 keeps none.
  // A lower bound applies as files switch branches. Set it before other threads start;
  // the figures may be read from any thread.
  static void setBranchCacheBudget(uint64_t bytes);
  static uint64_t branchCacheBudget();
  static uint64_t branchCacheUsed();  // bytes that kept branches hold now

 private:
  static constexpr uint32_t NO_BRANCH = ~uint32_t{0};

  DocumentsFile() = default;

  DocumentsFileResult createFile(const std::string& path);
  DocumentsFileResult openFile(const std::string& path, OpenMode mode);
  bool headerIsPlausible(const documents_format::Header& header) const;
  bool tablesArePlausible(const documents_format::Header& header) const;

  // Common entry of the document operations: checks the state and the number and loads the
  // number's branch (an I/O failure of the load becomes DF_IO_FAILURE). DF_DONE when the
  // operation may go on.
  DocumentsFileResult enterDocument(uint32_t number);
  BufferedFileResult switchBranch(uint32_t branch);
  // Writes the loaded branch, which stays loaded and is unchanged afterwards.
  BufferedFileResult saveBranch();
  // Moves the loaded, unchanged branch into the branch cache when the bound leaves room,
  // dropping this file's least recently used kept branches first.
  void keepLoadedBranch();
  // Makes kept branch `branch` the loaded one; false when it is not kept.
  bool takeKeptBranch(uint32_t branch);
  void dropOldestKeptBranch();
  // Appends a record and points local id `id` of the loaded branch at it.
  BufferedFileResult appendRecord(uint32_t id, const void* record, uint32_t length);
  // Enters state_disk_error and answers `code`.
  DocumentsFileResult fail(DocumentsFileResult code);
  const uint32_t* branchesOffsets() const {
    return tableSet_.data() + documents_format::BRANCH_OFFSETS_TABLE;
  }
  const uint32_t* freeList() const { return tableSet_.data() + documents_format::FREE_LIST_TABLE; }
  const uint32_t* branchCrcs() const {
    return tableSet_.data() + documents_format::BRANCH_CRC_TABLE;
  }
  // The one way the working tables change: entry `index` of the table set (in u32 from its
  // start) becomes `value`, and its page is stale in both table sets on disk.
  void setTableEntry(uint32_t index, uint32_t value);
  // Writes the pages of the working tables that differ from table set `selector` on disk.
  BufferedFileResult writeStaleTablePages(uint32_t selector);

  std::unique_ptr<BufferedFile> file_;
  // The working tables, laid out as a table set on disk: branch offsets, free list, CRCs.
  std::vector<uint32_t> tableSet_;
  // Per table set on disk, a bit per 64 KiB page of it that may differ from tableSet_:
  // a commit writes only those of the set it selects. A set was last written two commits
  // ago, so its bits gather the changes of both.
  uint32_t staleTablePages_[2] = {0, 0};
  // Branch offsets as of the last commit.
  std::vector<uint32_t> committedBranchesOffsets_;
  uint32_t freeCount_ = 0;
  DocumentsBranch branch_;
  uint32_t currentBranchNumber_ = NO_BRANCH;
  // Branches other than the loaded one, each exactly as its record in the file (or all zero
  // when it has none): most recently used first, and by number.
  struct KeptBranch {
    uint32_t number;
    DocumentsBranch branch;
  };
  std::list<KeptBranch> keptBranches_;
  std::unordered_map<uint32_t, std::list<KeptBranch>::iterator> keptIndex_;
  bool isLocalTableChanged_ = false;
  uint32_t documentCount_ = 0;
  uint32_t deletedCount_ = 0;
  uint64_t currentOffset_ = 0;
  uint32_t selector_ = 0;
  documents_format::Header header_;  // as last written or read
  // Scratch space for a branch record and for a header page.
  std::vector<unsigned char> scratch_;
  State state_ = state_disk_error;
};

}  // namespace dovrel
