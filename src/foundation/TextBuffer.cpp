// TextBuffer: the growable byte buffer on the block allocator, and the writers for
// decimal, hexadecimal and counted-string forms. One thread at a time per buffer.
#include "foundation/TextBuffer.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "foundation/BlockAllocator.h"

namespace dovrel {

namespace {

constexpr uint32_t INITIAL_CAPACITY = 64;
// Lengths come from clients (a request's Content-Length, document sizes), so the limit is
// a refusal by std::bad_alloc, not an assertion.
constexpr uint64_t MAX_CAPACITY = uint64_t{1} << 31;

// What a moved-from buffer points at: it owns no block (capacity 0) and grows on first use.
char movedFromByte[1] = {0};

// True when p points into the block [start, start + capacity). Compared as addresses:
// the bytes may belong to any object.
bool inBlock(const char* p, const char* start, uint32_t capacity) {
  auto a = reinterpret_cast<std::uintptr_t>(p);
  auto s = reinterpret_cast<std::uintptr_t>(start);
  return a >= s && a - s < capacity;
}

}  // namespace

TextBuffer::TextBuffer()
    : start_(static_cast<char*>(BlockAllocator::allocate(INITIAL_CAPACITY))),
      len_(0),
      capacity_(INITIAL_CAPACITY) {}

TextBuffer::~TextBuffer() {
  if (capacity_ != 0) BlockAllocator::release(start_, capacity_);
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : start_(other.start_), len_(other.len_), capacity_(other.capacity_) {
  other.start_ = movedFromByte;
  other.len_ = 0;
  other.capacity_ = 0;
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
  if (this != &other) {
    if (capacity_ != 0) BlockAllocator::release(start_, capacity_);
    start_ = other.start_;
    len_ = other.len_;
    capacity_ = other.capacity_;
    other.start_ = movedFromByte;
    other.len_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

void TextBuffer::resize(uint64_t newLength) {
  if (newLength > capacity_) {
    if (newLength > MAX_CAPACITY) throw std::bad_alloc();
    uint64_t newCapacity = capacity_ != 0 ? capacity_ : INITIAL_CAPACITY;
    while (newCapacity < newLength) newCapacity *= 2;
    auto* block = static_cast<char*>(BlockAllocator::allocate(newCapacity));
    if (len_ != 0) std::memcpy(block, start_, len_);
    if (capacity_ != 0) BlockAllocator::release(start_, capacity_);
    start_ = block;
    capacity_ = static_cast<uint32_t>(newCapacity);
  }
  len_ = static_cast<uint32_t>(newLength);
}

void TextBuffer::append(const char* zeroTerminated) {
  append(zeroTerminated, std::strlen(zeroTerminated));
}

void TextBuffer::append(const char* bytes, uint64_t count) {
  if (count == 0) return;
  uint32_t oldLength = len_;
  // The bytes may be this buffer's own (appending a part of itself); growing releases the
  // old block, so remember them by offset.
  bool own = inBlock(bytes, start_, capacity_);
  std::size_t offset = own ? static_cast<std::size_t>(bytes - start_) : 0;
  resize(uint64_t{oldLength} + count);
  std::memcpy(start_ + oldLength, own ? start_ + offset : bytes, count);
}

void TextBuffer::appendByte(char byte) {
  uint32_t oldLength = len_;
  resize(uint64_t{oldLength} + 1);
  start_[oldLength] = byte;
}

void TextBuffer::insertFront(const char* bytes, uint32_t count) {
  if (count == 0) return;
  if (inBlock(bytes, start_, capacity_)) {
    std::string copy(bytes, count);  // own bytes move with the content below
    insertFront(copy.data(), count);
    return;
  }
  uint32_t oldLength = len_;
  resize(uint64_t{oldLength} + count);
  std::memmove(start_ + count, start_, oldLength);
  std::memcpy(start_, bytes, count);
}

void TextBuffer::appendDecimal(uint32_t value) {
  uint32_t from = len_;
  do {
    appendByte(static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  reverse(from);
}

void TextBuffer::appendHexDigit(uint32_t value) {
  if (value <= 9) {
    appendByte(static_cast<char>('0' + value));
    return;
  }
  DOVREL_ASSERT(10 <= value && value <= 15);
  appendByte(static_cast<char>('A' + (value - 10)));
}

void TextBuffer::appendHex(uint32_t value, int digits) {
  uint32_t from = len_;
  for (int i = 0; i < digits; ++i) {
    appendHexDigit(value & 0xF);
    value >>= 4;
  }
  DOVREL_ASSERT(value == 0);
  reverse(from);
}

void TextBuffer::appendCounted(TextView text) {
  if (text.length() != 0 && inBlock(text.pointer(), start_, capacity_)) {
    std::string copy = text.toString();  // the writes below may move this buffer's bytes
    appendCounted(TextView(copy));
    return;
  }
  appendByte('#');
  appendDecimal(text.length());
  appendByte('#');
  append(text.pointer(), text.length());
  appendByte('#');
}

void TextBuffer::appendCountedPascal(const unsigned char* lengthPrefixed) {
  appendCounted(TextView(reinterpret_cast<const char*>(lengthPrefixed) + 1, lengthPrefixed[0]));
}

void TextBuffer::appendCountedNumber(uint32_t value) {
  appendByte('#');
  appendDecimal(static_cast<uint32_t>(decimalDigits(value)));
  appendByte('#');
  appendDecimal(value);
  appendByte('#');
}

void TextBuffer::reverse(uint32_t from) {
  DOVREL_ASSERT_TEXT(from <= len_, "0 <= from && from <= len");
  // An empty range is left as it is (its last byte would lie before its first).
  if (from == len_) return;
  char* p1 = start_ + from;
  char* p2 = start_ + len_ - 1;
  DOVREL_ASSERT(p1 <= p2);
  while (p1 < p2) {
    char t = *p1;
    *p1++ = *p2;
    *p2-- = t;
  }
}

std::string toDecimalString(uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::string out;
  out.reserve(n);
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

int decimalDigits(uint32_t value) {
  int n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

}  // namespace dovrel
