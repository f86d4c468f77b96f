// The page-buffered file. Every page transfer goes through the platform page file at a
// page-aligned offset from a page-aligned buffer, so it suits unbuffered I/O as well as the
// page cache. One thread at a time (the documents file that owns it).
#include "storage/BufferedFile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "foundation/AllocationGate.h"
#include "foundation/Assert.h"
#include "foundation/Cp866.h"

namespace dovrel {

namespace {

constexpr uint64_t PAGE_MASK = BufferedFile::BUFFER_SIZE - 1;
constexpr std::align_val_t BUFFER_ALIGNMENT{BufferedFile::BUFFER_SIZE};
// Byte that fills the tail of an append page written by padToPage and by sync, so a look at
// the file tells which of the two produced it.
constexpr unsigned char PAD_BYTE = 0xEE;
constexpr unsigned char SYNC_PAD_BYTE = 0xDD;

// The largest offset at which a page still ends inside the range of a file position.
constexpr uint64_t LAST_PAGE_POS =
    static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - BufferedFile::BUFFER_SIZE;

// The sequential and the random-access page buffer, in one aligned block.
unsigned char* allocateBuffers() {
  if (AllocationGate::refused(2 * BufferedFile::BUFFER_SIZE)) throw std::bad_alloc();
  return static_cast<unsigned char*>(
      ::operator new[](2 * BufferedFile::BUFFER_SIZE, BUFFER_ALIGNMENT));
}

}  // namespace

void BufferedFile::AlignedFree::operator()(unsigned char* p) const {
  ::operator delete[](p, BUFFER_ALIGNMENT);
}

std::string_view bufferedFileText(BufferedFileResult result) {
  switch (result) {
    case BF_DONE:
      break;
    case BF_CANNOT_CREATE:
      return "не удалось создать файл"_cp1251;
    case BF_CANNOT_OPEN:
      return "не удалось открыть файл"_cp1251;
    case BF_SIZE_NOT_PAGES:
      return "размер файла не кратен размеру буфера"_cp1251;
    case BF_READ_OUTSIDE:
      return "чтение за пределами файла"_cp1251;
    case BF_WRITE_OUTSIDE:
      return "произвольная запись за пределами файла"_cp1251;
    case BF_CANNOT_POSITION:
      return "не удалось установить позицию файла"_cp1251;
    case BF_READ_FAILED:
      return "не удалось прочитать из файла"_cp1251;
    case BF_SHORT_READ:
      return "прочитано не сколько хотелось"_cp1251;
    case BF_WRITE_FAILED:
      return "не удалось записать в файл"_cp1251;
    case BF_SHORT_WRITE:
      return "записано не сколько хотелось"_cp1251;
    case BF_CANNOT_SET_END:
      return "не удалось установить конец файла"_cp1251;
    case BF_CANNOT_SIZE:
      return "не удалось узнать размер файла"_cp1251;
    case BF_CANNOT_CLOSE:
      return "не удалось закрыть файл"_cp1251;
  }
  return {};
}

BufferedFile::BufferedFile() : buffers_(allocateBuffers()) {}

BufferedFileResult BufferedFile::open(const std::string& path, bool createNew,
                                      std::unique_ptr<BufferedFile>& file) {
  std::unique_ptr<BufferedFile> opened(new BufferedFile());
  platform::Status status = platform::Env::current().openPageFile(
      path, createNew ? platform::OpenMode::CREATE_ALWAYS : platform::OpenMode::OPEN_EXISTING,
      &opened->h_);
  if (!status) return createNew ? BF_CANNOT_CREATE : BF_CANNOT_OPEN;
  if (!createNew) {
    uint64_t fileSize = 0;
    BufferedFileResult result = opened->size(fileSize);
    if (result == BF_DONE && (fileSize & PAGE_MASK) != 0) result = BF_SIZE_NOT_PAGES;
    if (result != BF_DONE) {
      opened->closed_ = true;  // refused as found: nothing is written to it
      return result;
    }
    opened->sequentialBufferPos_ = fileSize;
  }
  file = std::move(opened);
  return BF_DONE;
}

BufferedFile::~BufferedFile() {
  // A file that failed to open has nothing to write. Otherwise the owner has already seen,
  // or will never learn of, a failure here.
  if (closed_ || h_ == nullptr) return;
  (void)sync();
}

BufferedFileResult BufferedFile::append(uint64_t offset, const void* bytes, uint64_t length,
                                        uint64_t& end) {
  DOVREL_ASSERT_TEXT(offset == sequentialBufferPos_ + sequentialBufferPtr_,
                     "offset == sequentialBufferPos + sequentialBufferPtr");
  const auto* from = static_cast<const unsigned char*>(bytes);
  while (length > 0) {
    const uint32_t n =
        static_cast<uint32_t>(std::min<uint64_t>(length, BUFFER_SIZE - sequentialBufferPtr_));
    std::memcpy(sequentialBuffer() + sequentialBufferPtr_, from, n);
    sequentialBufferPtr_ += n;
    from += n;
    length -= n;
    if (sequentialBufferPtr_ == BUFFER_SIZE) {
      if (BufferedFileResult result = writeSequentialPage()) return result;
    }
  }
  end = logicalEnd();
  return BF_DONE;
}

BufferedFileResult BufferedFile::padToPage(uint64_t offset, uint64_t& end) {
  DOVREL_ASSERT_TEXT(offset == sequentialBufferPos_ + sequentialBufferPtr_,
                     "offset == sequentialBufferPos + sequentialBufferPtr");
  if (sequentialBufferPtr_ > 0) {
    std::memset(sequentialBuffer() + sequentialBufferPtr_, PAD_BYTE,
                BUFFER_SIZE - sequentialBufferPtr_);
    sequentialBufferPtr_ = BUFFER_SIZE;
    if (BufferedFileResult result = writeSequentialPage()) return result;
  }
  end = logicalEnd();
  return BF_DONE;
}

BufferedFileResult BufferedFile::read(uint64_t offset, void* buffer, uint64_t length) {
  const uint64_t end = logicalEnd();
  if (offset > end || length > end - offset) return BF_READ_OUTSIDE;
  auto* to = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const uint64_t page = offset & ~PAGE_MASK;
    const uint32_t within = static_cast<uint32_t>(offset - page);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, BUFFER_SIZE - within));
    if (page == sequentialBufferPos_) {
      std::memcpy(to, sequentialBuffer() + within, n);
    } else if (page == randomAccessBufferPos_) {
      std::memcpy(to, randomAccessBuffer() + within, n);
    } else {
      // Every byte of a page that no buffer holds is on disk as written. The transfer runs
      // on to the first page that a buffer holds, or to the end of the request.
      uint64_t stop = offset + length;
      for (const uint64_t held : {sequentialBufferPos_, randomAccessBufferPos_}) {
        if (held > page && held < stop) stop = held;
      }
      const uint64_t run = stop - offset;
      if (BufferedFileResult result = readBytes(offset, to, run)) return result;
      to += run;
      offset += run;
      length -= run;
      continue;
    }
    to += n;
    offset += n;
    length -= n;
  }
  return BF_DONE;
}

BufferedFileResult BufferedFile::write(uint64_t offset, const void* bytes, uint64_t length) {
  const uint64_t end = logicalEnd();
  if (offset > end || length > end - offset) return BF_WRITE_OUTSIDE;
  const auto* from = static_cast<const unsigned char*>(bytes);
  while (length > 0) {
    const uint64_t page = offset & ~PAGE_MASK;
    const uint32_t within = static_cast<uint32_t>(offset - page);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, BUFFER_SIZE - within));
    if (page == sequentialBufferPos_) {
      std::memcpy(sequentialBuffer() + within, from, n);
    } else {
      if (BufferedFileResult result = claimRandomAccessPage(page, n == BUFFER_SIZE)) return result;
      std::memcpy(randomAccessBuffer() + within, from, n);
      randomAccessBufferChanged_ = true;
    }
    from += n;
    offset += n;
    length -= n;
  }
  return BF_DONE;
}

BufferedFileResult BufferedFile::rewind(uint64_t pos) {
  DOVREL_ASSERT_TEXT(sequentialBufferPtr_ == 0, "sequentialBufferPtr == 0");
  DOVREL_ASSERT_TEXT(pos <= sequentialBufferPos_, "pos <= sequentialBufferPos");
  // The random-access buffer may hold the page that becomes the append page; forgetting it
  // keeps the two buffers from ever holding the same page.
  if (BufferedFileResult result = flushRandomAccessPage()) return result;
  forgetRandomAccessPage();
  if (pos < sequentialBufferPos_) {
    const uint64_t page = pos & ~PAGE_MASK;
    if (BufferedFileResult result = readPage(page, sequentialBuffer())) return result;
    sequentialBufferPos_ = page;
    sequentialBufferPtr_ = static_cast<uint32_t>(pos - page);
  }
  return BF_DONE;
}

BufferedFileResult BufferedFile::sync() {
  const uint64_t savedPos = sequentialBufferPos_;
  const uint32_t savedPtr = sequentialBufferPtr_;
  if (sequentialBufferPtr_ > 0) {
    std::memset(sequentialBuffer() + sequentialBufferPtr_, SYNC_PAD_BYTE,
                BUFFER_SIZE - sequentialBufferPtr_);
    if (BufferedFileResult result = writePage(sequentialBufferPos_, sequentialBuffer())) {
      return result;
    }
    sequentialBufferPos_ += BUFFER_SIZE;
  }
  // From here on the append point must be restored whatever happens, or a caller that
  // survives the failure would append behind a page it never wrote.
  BufferedFileResult result = flushRandomAccessPage();
  if (result == BF_DONE) {
    forgetRandomAccessPage();
    result = setEndOfFile(sequentialBufferPos_);
  }
  if (result == BF_DONE && !h_->sync()) result = BF_WRITE_FAILED;
  sequentialBufferPos_ = savedPos;
  sequentialBufferPtr_ = savedPtr;
  return result;
}

BufferedFileResult BufferedFile::size(uint64_t& bytes) {
  bytes = 0;
  return h_->size(&bytes) ? BF_DONE : BF_CANNOT_SIZE;
}

BufferedFileResult BufferedFile::close() {
  if (BufferedFileResult result = sync()) return result;
  closed_ = true;
  return h_->close() ? BF_DONE : BF_CANNOT_CLOSE;
}

BufferedFileResult BufferedFile::readPage(uint64_t pos, unsigned char* page) {
  DOVREL_ASSERT_TEXT(pos % BUFFER_SIZE == 0, "pos % BUFFER_SIZE == 0");
  if (pos > LAST_PAGE_POS) return BF_CANNOT_POSITION;
  std::size_t transferred = 0;
  if (!h_->readAt(pos, page, BUFFER_SIZE, &transferred)) return BF_READ_FAILED;
  return transferred == BUFFER_SIZE ? BF_DONE : BF_SHORT_READ;
}

BufferedFileResult BufferedFile::readBytes(uint64_t offset, unsigned char* to, uint64_t length) {
  if (offset > LAST_PAGE_POS) return BF_CANNOT_POSITION;
  std::size_t transferred = 0;
  if (!h_->readAt(offset, to, static_cast<std::size_t>(length), &transferred)) {
    return BF_READ_FAILED;
  }
  return transferred == length ? BF_DONE : BF_SHORT_READ;
}

BufferedFileResult BufferedFile::writePage(uint64_t pos, const unsigned char* page) {
  DOVREL_ASSERT_TEXT(pos % BUFFER_SIZE == 0, "pos % BUFFER_SIZE == 0");
  if (pos > LAST_PAGE_POS) return BF_CANNOT_POSITION;
  std::size_t transferred = 0;
  if (!h_->writeAt(pos, page, BUFFER_SIZE, &transferred)) return BF_WRITE_FAILED;
  return transferred == BUFFER_SIZE ? BF_DONE : BF_SHORT_WRITE;
}

BufferedFileResult BufferedFile::setEndOfFile(uint64_t pos) {
  return h_->truncate(pos) ? BF_DONE : BF_CANNOT_SET_END;
}

BufferedFileResult BufferedFile::writeSequentialPage() {
  if (BufferedFileResult result = writePage(sequentialBufferPos_, sequentialBuffer())) {
    return result;
  }
  // Cutting the file here now and then drops whatever an earlier, longer life of the file
  // left beyond the append point.
  if ((sequentialBufferPos_ & (END_OF_FILE_STEP - 1)) == 0) {
    if (BufferedFileResult result = setEndOfFile(sequentialBufferPos_ + BUFFER_SIZE)) {
      return result;
    }
  }
  sequentialBufferPos_ += BUFFER_SIZE;
  sequentialBufferPtr_ = 0;
  return BF_DONE;
}

BufferedFileResult BufferedFile::flushRandomAccessPage() {
  if (randomAccessBufferPos_ == NO_PAGE) {
    DOVREL_ASSERT_TEXT(!randomAccessBufferChanged_, "!randomAccessBufferChanged");
    return BF_DONE;
  }
  if (!randomAccessBufferChanged_) return BF_DONE;
  if (BufferedFileResult result = writePage(randomAccessBufferPos_, randomAccessBuffer())) {
    return result;
  }
  randomAccessBufferChanged_ = false;
  return BF_DONE;
}

void BufferedFile::forgetRandomAccessPage() {
  DOVREL_ASSERT_TEXT(!randomAccessBufferChanged_, "!randomAccessBufferChanged");
  randomAccessBufferPos_ = NO_PAGE;
}

BufferedFileResult BufferedFile::claimRandomAccessPage(uint64_t pos, bool wholeOverwrite) {
  DOVREL_ASSERT_TEXT(pos != sequentialBufferPos_, "sequentialBufferPos != randomAccessBufferPos");
  if (randomAccessBufferPos_ == pos) return BF_DONE;
  if (BufferedFileResult result = flushRandomAccessPage()) return result;
  // Until the new page is in, the buffer holds no page: a failed read must not leave the
  // old page's bytes labelled with the new position.
  randomAccessBufferPos_ = NO_PAGE;
  if (!wholeOverwrite) {
    if (BufferedFileResult result = readPage(pos, randomAccessBuffer())) return result;
  }
  randomAccessBufferPos_ = pos;
  return BF_DONE;
}

}  // namespace dovrel
