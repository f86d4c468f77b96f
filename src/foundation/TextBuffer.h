// TextBuffer: an owned, growable byte buffer on the block allocator. Its capacity is a
// power of two, at least 64, doubling as needed; it never shrinks. The bytes are not
// zero-terminated. One thread at a time (the wire protocol hands a buffer between the two
// threads of a connection, never using it from both at once).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/TextView.h"

namespace dovrel {

class TextBuffer {
 public:
  TextBuffer();  // length 0, capacity 64
  ~TextBuffer();
  TextBuffer(TextBuffer&& other) noexcept;
  TextBuffer& operator=(TextBuffer&& other) noexcept;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  char* pointer() { return start_; }
  const char* pointer() const { return start_; }
  uint32_t length() const { return len_; }
  uint32_t capacity() const { return capacity_; }
  TextView view() const { return TextView(start_, len_); }
  std::string_view stringView() const { return std::string_view(start_, len_); }
  std::string toString() const { return std::string(start_, len_); }

  // Sets the length. Growing past the capacity doubles it until it fits, copies the bytes
  // into the new block and releases the old one; bytes between the old and new length are
  // undefined. A length that would need more than 2^31 bytes of capacity throws
  // std::bad_alloc (so client-chosen sizes end in a refusal, never an assertion).
  void resize(uint64_t newLength);
  void clear() { len_ = 0; }

  void append(const char* zeroTerminated);
  void append(const std::string& text) { append(text.data(), text.size()); }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(TextView text) { append(text.pointer(), text.length()); }
  void append(const char* bytes, uint64_t count);
  void appendByte(char byte);
  // Grows by `count`, moves the content up and copies the bytes in front.
  void insertFront(const char* bytes, uint32_t count);

  // The value in decimal without leading zeros ("0" for zero).
  void appendDecimal(uint32_t value);
  // One hex digit: "0"-"9", upper-case "A"-"F"; value must be 0..15 (asserted).
  void appendHexDigit(uint32_t value);
  // Exactly `digits` upper-case hex digits, most significant first, zero-padded; the value
  // must fit in them (asserted "value == 0" on what remains).
  void appendHex(uint32_t value, int digits);
  // "#" + byte count + "#" + the bytes as they are + "#".
  void appendCounted(TextView text);
  void appendCounted(std::string_view text) { appendCounted(TextView(text)); }
  // The counted form of a length-prefixed text: the first byte holds the length (0-255).
  void appendCountedPascal(const unsigned char* lengthPrefixed);
  // The counted form of a number's decimal text: 25 is written as #2#25#.
  void appendCountedNumber(uint32_t value);
  // Reverses the bytes from position `from` to the end, in place.
  void reverse(uint32_t from);

 private:
  char* start_;
  uint32_t len_;
  uint32_t capacity_;
};

// The value in decimal, no leading zeros.
std::string toDecimalString(uint32_t value);
// Number of decimal digits of the value (1 for 0 to 9).
int decimalDigits(uint32_t value);

}  // namespace dovrel
