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

BufferedFile::BufferedFile(const std::string& path, bool createNew) : buffers_(allocateBuffers()) {
  platform::Status status = platform::Env::current().openPageFile(
      path, createNew ? platform::OpenMode::CREATE_ALWAYS : platform::OpenMode::OPEN_EXISTING, &h_);
  if (!status) {
    throw BufferedFileError(createNew ? "не удалось создать файл"_cp1251
                                      : "не удалось открыть файл"_cp1251);
  }
  if (!createNew) {
    const uint64_t fileSize = size();
    if ((fileSize & PAGE_MASK) != 0) {
      throw BufferedFileError("размер файла не кратен размеру буфера"_cp1251);
    }
    sequentialBufferPos_ = fileSize;
  }
}

BufferedFile::~BufferedFile() {
  if (closed_) return;
  try {
    sync();
  } catch (const BufferedFileError&) {
    // The owner has already seen or will never learn of the failure; nothing to do here.
  }
}

uint64_t BufferedFile::append(uint64_t offset, const void* bytes, uint64_t length) {
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
    if (sequentialBufferPtr_ == BUFFER_SIZE) writeSequentialPage();
  }
  return logicalEnd();
}

uint64_t BufferedFile::padToPage(uint64_t offset) {
  DOVREL_ASSERT_TEXT(offset == sequentialBufferPos_ + sequentialBufferPtr_,
                     "offset == sequentialBufferPos + sequentialBufferPtr");
  if (sequentialBufferPtr_ > 0) {
    std::memset(sequentialBuffer() + sequentialBufferPtr_, PAD_BYTE,
                BUFFER_SIZE - sequentialBufferPtr_);
    sequentialBufferPtr_ = BUFFER_SIZE;
    writeSequentialPage();
  }
  return logicalEnd();
}

void BufferedFile::read(uint64_t offset, void* buffer, uint64_t length) {
  const uint64_t end = logicalEnd();
  if (offset > end || length > end - offset) {
    throw BufferedFileError("чтение за пределами файла"_cp1251);
  }
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
      readBytes(offset, to, run);
      to += run;
      offset += run;
      length -= run;
      continue;
    }
    to += n;
    offset += n;
    length -= n;
  }
}

void BufferedFile::write(uint64_t offset, const void* bytes, uint64_t length) {
  const uint64_t end = logicalEnd();
  if (offset > end || length > end - offset) {
    throw BufferedFileError("произвольная запись за пределами файла"_cp1251);
  }
  const auto* from = static_cast<const unsigned char*>(bytes);
  while (length > 0) {
    const uint64_t page = offset & ~PAGE_MASK;
    const uint32_t within = static_cast<uint32_t>(offset - page);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, BUFFER_SIZE - within));
    if (page == sequentialBufferPos_) {
      std::memcpy(sequentialBuffer() + within, from, n);
    } else {
      claimRandomAccessPage(page, n == BUFFER_SIZE);
      std::memcpy(randomAccessBuffer() + within, from, n);
      randomAccessBufferChanged_ = true;
    }
    from += n;
    offset += n;
    length -= n;
  }
}

void BufferedFile::rewind(uint64_t pos) {
  DOVREL_ASSERT_TEXT(sequentialBufferPtr_ == 0, "sequentialBufferPtr == 0");
  DOVREL_ASSERT_TEXT(pos <= sequentialBufferPos_, "pos <= sequentialBufferPos");
  // The random-access buffer may hold the page that becomes the append page; forgetting it
  // keeps the two buffers from ever holding the same page.
  flushRandomAccessPage();
  forgetRandomAccessPage();
  if (pos < sequentialBufferPos_) {
    const uint64_t page = pos & ~PAGE_MASK;
    readPage(page, sequentialBuffer());
    sequentialBufferPos_ = page;
    sequentialBufferPtr_ = static_cast<uint32_t>(pos - page);
  }
}

void BufferedFile::sync() {
  const uint64_t savedPos = sequentialBufferPos_;
  const uint32_t savedPtr = sequentialBufferPtr_;
  if (sequentialBufferPtr_ > 0) {
    std::memset(sequentialBuffer() + sequentialBufferPtr_, SYNC_PAD_BYTE,
                BUFFER_SIZE - sequentialBufferPtr_);
    writePage(sequentialBufferPos_, sequentialBuffer());
    sequentialBufferPos_ += BUFFER_SIZE;
  }
  // From here on the append point must be restored whatever happens, or a caller that
  // survives the failure would append behind a page it never wrote.
  try {
    flushRandomAccessPage();
    forgetRandomAccessPage();
    setEndOfFile(sequentialBufferPos_);
    if (!h_->sync()) throw BufferedFileError("не удалось записать в файл"_cp1251);
  } catch (const BufferedFileError&) {
    sequentialBufferPos_ = savedPos;
    sequentialBufferPtr_ = savedPtr;
    throw;
  }
  sequentialBufferPos_ = savedPos;
  sequentialBufferPtr_ = savedPtr;
}

uint64_t BufferedFile::size() {
  uint64_t bytes = 0;
  if (!h_->size(&bytes)) throw BufferedFileError("не удалось узнать размер файла"_cp1251);
  return bytes;
}

void BufferedFile::close() {
  sync();
  closed_ = true;
  if (!h_->close()) throw BufferedFileError("не удалось закрыть файл"_cp1251);
}

void BufferedFile::readPage(uint64_t pos, unsigned char* page) {
  DOVREL_ASSERT_TEXT(pos % BUFFER_SIZE == 0, "pos % BUFFER_SIZE == 0");
  if (pos > LAST_PAGE_POS) throw BufferedFileError("не удалось установить позицию файла"_cp1251);
  std::size_t transferred = 0;
  if (!h_->readAt(pos, page, BUFFER_SIZE, &transferred)) {
    throw BufferedFileError("не удалось прочитать из файла"_cp1251);
  }
  if (transferred != BUFFER_SIZE) throw BufferedFileError("прочитано не сколько хотелось"_cp1251);
}

void BufferedFile::readBytes(uint64_t offset, unsigned char* to, uint64_t length) {
  if (offset > LAST_PAGE_POS) throw BufferedFileError("не удалось установить позицию файла"_cp1251);
  std::size_t transferred = 0;
  if (!h_->readAt(offset, to, static_cast<std::size_t>(length), &transferred)) {
    throw BufferedFileError("не удалось прочитать из файла"_cp1251);
  }
  if (transferred != length) throw BufferedFileError("прочитано не сколько хотелось"_cp1251);
}

void BufferedFile::writePage(uint64_t pos, const unsigned char* page) {
  DOVREL_ASSERT_TEXT(pos % BUFFER_SIZE == 0, "pos % BUFFER_SIZE == 0");
  if (pos > LAST_PAGE_POS) throw BufferedFileError("не удалось установить позицию файла"_cp1251);
  std::size_t transferred = 0;
  if (!h_->writeAt(pos, page, BUFFER_SIZE, &transferred)) {
    throw BufferedFileError("не удалось записать в файл"_cp1251);
  }
  if (transferred != BUFFER_SIZE) throw BufferedFileError("записано не сколько хотелось"_cp1251);
}

void BufferedFile::setEndOfFile(uint64_t pos) {
  if (!h_->truncate(pos)) throw BufferedFileError("не удалось установить конец файла"_cp1251);
}

void BufferedFile::writeSequentialPage() {
  writePage(sequentialBufferPos_, sequentialBuffer());
  // Cutting the file here now and then drops whatever an earlier, longer life of the file
  // left beyond the append point.
  if ((sequentialBufferPos_ & (END_OF_FILE_STEP - 1)) == 0) {
    setEndOfFile(sequentialBufferPos_ + BUFFER_SIZE);
  }
  sequentialBufferPos_ += BUFFER_SIZE;
  sequentialBufferPtr_ = 0;
}

void BufferedFile::flushRandomAccessPage() {
  if (randomAccessBufferPos_ == NO_PAGE) {
    DOVREL_ASSERT_TEXT(!randomAccessBufferChanged_, "!randomAccessBufferChanged");
    return;
  }
  if (!randomAccessBufferChanged_) return;
  writePage(randomAccessBufferPos_, randomAccessBuffer());
  randomAccessBufferChanged_ = false;
}

void BufferedFile::forgetRandomAccessPage() {
  DOVREL_ASSERT_TEXT(!randomAccessBufferChanged_, "!randomAccessBufferChanged");
  randomAccessBufferPos_ = NO_PAGE;
}

void BufferedFile::claimRandomAccessPage(uint64_t pos, bool wholeOverwrite) {
  DOVREL_ASSERT_TEXT(pos != sequentialBufferPos_, "sequentialBufferPos != randomAccessBufferPos");
  if (randomAccessBufferPos_ == pos) return;
  flushRandomAccessPage();
  // Until the new page is in, the buffer holds no page: a failed read must not leave the
  // old page's bytes labelled with the new position.
  randomAccessBufferPos_ = NO_PAGE;
  if (!wholeOverwrite) readPage(pos, randomAccessBuffer());
  randomAccessBufferPos_ = pos;
}

}  // namespace dovrel
