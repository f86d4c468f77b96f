// TextView: the non-owning byte slice used for query texts, tokens and file contents.
// Values only; any thread may use its own views.
#include "foundation/TextView.h"

#include <cstring>

#include "foundation/Assert.h"

namespace dovrel {

namespace {
const char EMPTY[1] = {0};
}

TextView::TextView() : start_(EMPTY), len_(0) {}

TextView::TextView(const char* start, uint32_t length) : start_(start), len_(length) {
  // An empty range may come with a null pointer (an empty vector, a default string_view);
  // it is the empty view. Bytes behind a null pointer are a caller's fault.
  if (start_ == nullptr) {
    DOVREL_ASSERT_TEXT(length == 0, "start != NULL");
    start_ = EMPTY;
  }
}

TextView::TextView(std::string_view bytes)
    : TextView(bytes.data(), static_cast<uint32_t>(bytes.size())) {
  DOVREL_ASSERT_TEXT(bytes.size() <= UINT32_MAX, "length fits in 32 bits");
}

TextView::TextView(const char* zeroTerminated)
    : TextView(zeroTerminated != nullptr ? std::string_view(zeroTerminated) : std::string_view()) {}

unsigned char TextView::at(uint32_t pos) const {
  DOVREL_ASSERT_TEXT(pos < len_, "pos < len");
  return static_cast<unsigned char>(start_[pos]);
}

TextView TextView::sub(uint32_t from, uint32_t count) const {
  if (from >= len_) return TextView(start_ + len_, 0);
  uint32_t rest = len_ - from;
  return TextView(start_ + from, count < rest ? count : rest);
}

TextView TextView::head(uint32_t n) const { return TextView(start_, n < len_ ? n : len_); }

TextView TextView::tail(uint32_t n) const {
  if (n >= len_) return *this;
  return TextView(start_ + (len_ - n), n);
}

bool TextView::equals(const char* text) const {
  // Stops at the text's terminator, so a view holding a zero byte never reads past it.
  for (uint32_t i = 0; i < len_; ++i) {
    if (text[i] == 0 || text[i] != start_[i]) return false;
  }
  return text[len_] == 0;
}

bool TextView::equals(const char* bytes, uint32_t count) const {
  return count == len_ && (len_ == 0 || std::memcmp(bytes, start_, len_) == 0);
}

bool TextView::equals(std::string_view bytes) const {
  return bytes.size() == len_ && (len_ == 0 || std::memcmp(bytes.data(), start_, len_) == 0);
}

}  // namespace dovrel
