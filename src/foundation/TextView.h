// TextView: a non-owning slice of bytes (code page 866 text, or any bytes). Cheap to copy;
// the bytes must outlive the view. Not synchronised; share only read-only bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel {

class TextView {
 public:
  TextView();  // the empty view (start points at a static empty string, never null)
  // start may be null only with length 0 (the empty view); otherwise asserted.
  TextView(const char* start, uint32_t length);
  TextView(std::string_view bytes);  // length must fit in 32 bits
  // The bytes of a zero-terminated text, without the terminator (also makes a string
  // literal convert unambiguously). A null pointer gives the empty view.
  TextView(const char* zeroTerminated);
  TextView(const std::string& bytes) : TextView(std::string_view(bytes)) {}

  const char* pointer() const { return start_; }
  uint32_t length() const { return len_; }
  bool empty() const { return len_ == 0; }

  // The byte at pos; pos < length() (asserted).
  unsigned char at(uint32_t pos) const;
  // From `from`, min(length() - from, count) bytes; empty when from >= length().
  TextView sub(uint32_t from, uint32_t count) const;
  // The first min(n, length()) bytes.
  TextView head(uint32_t n) const;
  // The last n bytes, or the whole view when n >= length().
  TextView tail(uint32_t n) const;
  // True when the view holds exactly the bytes of the zero-terminated text.
  bool equals(const char* text) const;
  // True when the counts match and all bytes are equal.
  bool equals(const char* bytes, uint32_t count) const;
  bool equals(std::string_view bytes) const;

  std::string toString() const { return std::string(start_, len_); }
  std::string_view view() const { return std::string_view(start_, len_); }

 private:
  const char* start_;
  uint32_t len_;
};

inline bool operator==(const TextView& a, const TextView& b) { return a.view() == b.view(); }

}  // namespace dovrel
