// A page-buffered file for the documents file: every write is one whole 64 KiB page at a
// page-aligned offset, and so is every read that fills a page buffer; bytes of pages that
// neither buffer holds are read straight into the caller's memory. Whether the system's
// cache is used is the platform's choice (platform::pageCaching). Offers a sequential path
// that appends at the logical end and a random-access path that reads and overwrites below it.
// Not thread-safe: used only by its owning documents file, under the parser's semaphore.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "platform/Env.h"

namespace dovrel {

// What a BufferedFile call returns: BF_DONE, or what the operating system (or the caller)
// got wrong. The documents file turns any failure into its disk-error state; the text of
// bufferedFileText() (code page 1251) reaches nobody but a test or a debugger. A failed call
// leaves the file as its comment says; the one thing left to do after any failure is to
// destroy the object.
enum [[nodiscard]] BufferedFileResult : int{
    BF_DONE = 0,
    BF_CANNOT_CREATE = 1,
    BF_CANNOT_OPEN = 2,
    BF_SIZE_NOT_PAGES = 3,   // an existing file whose size is not a multiple of BUFFER_SIZE
    BF_READ_OUTSIDE = 4,     // a read beyond the logical end
    BF_WRITE_OUTSIDE = 5,    // a write beyond the logical end
    BF_CANNOT_POSITION = 6,  // an offset beyond what a file position can hold
    BF_READ_FAILED = 7,
    BF_SHORT_READ = 8,
    BF_WRITE_FAILED = 9,  // a write or the sync failed
    BF_SHORT_WRITE = 10,
    BF_CANNOT_SET_END = 11,
    BF_CANNOT_SIZE = 12,
    BF_CANNOT_CLOSE = 13,
};

// The text for a failure, in code page 1251.
std::string_view bufferedFileText(BufferedFileResult result);

class BufferedFile : public Object {
 public:
  static constexpr uint32_t BUFFER_SIZE = 65536;
  // The end of the file is set after writing any sequential page at a multiple of this.
  static constexpr uint64_t END_OF_FILE_STEP = 16 * 1024 * 1024;

  // With `createNew`, creates the file (replacing an existing one) with a logical end of 0.
  // Otherwise opens the existing file, whose size must be a multiple of BUFFER_SIZE; the
  // logical end is its size. Sets `file` only on success; the file is held exclusively
  // until its destruction. Throws std::bad_alloc when the page buffers cannot be had.
  static BufferedFileResult open(const std::string& path, bool createNew,
                                 std::unique_ptr<BufferedFile>& file);
  // Syncs (errors are swallowed: call sync() first to see them) and closes.
  ~BufferedFile() override;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Appends `length` bytes at the logical end, which must equal `offset` (a caller that
  // gets this wrong has lost track of the file: assertion). Sets `end` to the new logical
  // end.
  BufferedFileResult append(uint64_t offset, const void* bytes, uint64_t length, uint64_t& end);
  // Fills the rest of a partly filled append page with 0xEE and writes it, so the logical
  // end becomes page-aligned. Same offset check as append. Sets `end` to the new logical end.
  BufferedFileResult padToPage(uint64_t offset, uint64_t& end);
  // Copies bytes from below the logical end, including bytes still in the append buffer or
  // changed in the random-access buffer. Pages that neither buffer holds are read from the
  // file into `buffer` directly, leaving the random-access page as it was.
  BufferedFileResult read(uint64_t offset, void* buffer, uint64_t length);
  // Overwrites bytes below the logical end. A write that covers a whole page that is not in
  // memory never reads that page.
  BufferedFileResult write(uint64_t offset, const void* bytes, uint64_t length);
  // Moves the append point back to `offset`, at or below the start of the append page;
  // requires an empty append buffer. Later appends overwrite from there.
  BufferedFileResult rewind(uint64_t offset);
  // Writes everything to disk (a partly filled append page padded with 0xDD), sets the end
  // of the file just past the append page and makes it all durable. Appending continues in
  // the same page afterwards, also after a failure.
  BufferedFileResult sync();
  // The file's size as the operating system reports it.
  BufferedFileResult size(uint64_t& bytes);
  // sync(), then closes, reporting a failure. Afterwards the object may only be destroyed.
  BufferedFileResult close();

  uint64_t logicalEnd() const { return sequentialBufferPos_ + sequentialBufferPtr_; }

 private:
  static constexpr uint64_t NO_PAGE = ~uint64_t{0};

  struct AlignedFree {
    void operator()(unsigned char* p) const;
  };

  unsigned char* sequentialBuffer() const { return buffers_.get(); }
  unsigned char* randomAccessBuffer() const { return buffers_.get() + BUFFER_SIZE; }

  BufferedFile();
  BufferedFileResult readPage(uint64_t pos, unsigned char* page);
  // Reads `length` bytes at `offset` from the file itself, past both page buffers.
  BufferedFileResult readBytes(uint64_t offset, unsigned char* to, uint64_t length);
  BufferedFileResult writePage(uint64_t pos, const unsigned char* page);
  BufferedFileResult setEndOfFile(uint64_t pos);
  // Writes the full append page and moves the append point to the next page.
  BufferedFileResult writeSequentialPage();
  // Writes the random-access page back if it changed.
  BufferedFileResult flushRandomAccessPage();
  void forgetRandomAccessPage();
  // Makes the random-access buffer hold page `pos`, reading it unless `wholeOverwrite`.
  BufferedFileResult claimRandomAccessPage(uint64_t pos, bool wholeOverwrite);

  std::unique_ptr<platform::PageFile> h_;
  // Both page buffers in one 64 KiB-aligned block: the append page first, then the
  // random-access page.
  std::unique_ptr<unsigned char, AlignedFree> buffers_;
  uint64_t sequentialBufferPos_ = 0;
  uint32_t sequentialBufferPtr_ = 0;
  uint64_t randomAccessBufferPos_ = NO_PAGE;
  bool randomAccessBufferChanged_ = false;
  bool closed_ = false;
};

}  // namespace dovrel
