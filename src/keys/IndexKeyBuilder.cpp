// Building the document keys and query keys of field values. One builder per thread.
#include "keys/IndexKeyBuilder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "keys/DocNumList.h"
#include "keys/TextNormalizer.h"

namespace dovrel::index {

namespace {

constexpr uint8_t EMPTY_KEY[1] = {0};
constexpr uint32_t MAX_NEAR_DISTANCE = 9;

// Writes the letters and digits of `bytes`, folded, into key (length byte first), at most
// MAX_INDEX_KEY_LENGTH of them. Folding is idempotent, so folded input is fine too.
void alphanumKey(const uint8_t* bytes, std::size_t length, KeyBuffer& key) {
  uint32_t kept = 0;
  for (std::size_t i = 0; i < length && kept < IndexKeyBuilder::MAX_INDEX_KEY_LENGTH; ++i) {
    uint8_t byte = TextNormalizer::fold(bytes[i]);
    if (TextNormalizer::isWordByte(byte)) key[++kept] = byte;
  }
  key[0] = static_cast<uint8_t>(kept);
}

}  // namespace

void IndexKeyBuilder::documentKeys(const IndexKind& spec, FieldType type, TextView value,
                                   KeySink& sink) {
  if (type == FieldType::TEXT) {
    textKeys(spec, value, sink);
    return;
  }
  DOVREL_ASSERT(spec.baseKind() == BaseKind::WHOLE);
  std::string_view error = IndexKeyConverter::valueKey(type, value, key_.data());
  DOVREL_ASSERT_TEXT(error.empty(), "error == \"\"");
  sink.addKey(key_.data());
}

void IndexKeyBuilder::textKeys(const IndexKind& spec, TextView value, KeySink& sink) {
  const uint32_t n = value.length();
  // The whole kinds need at most 250 bytes of the value: they are built in the key buffer.
  switch (spec.baseKind()) {
    case BaseKind::WHOLE:
      key_[0] = static_cast<uint8_t>(std::min(n, MAX_INDEX_KEY_LENGTH));
      TextNormalizer::normalizeCopy(value.pointer(), key_[0], key_.data() + 1);
      sink.addKey(key_.data());
      return;
    case BaseKind::WHOLE_ALPHANUM:
      alphanumKey(reinterpret_cast<const uint8_t*>(value.pointer()), n, key_);
      sink.addKey(key_.data());
      return;
    default:
      break;
  }
  try {
    folded_.resize(std::size_t{n} + 1);
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
  TextNormalizer::normalizeCopy(value.pointer(), n, folded_.data() + 1);
  const uint8_t* v = folded_.data();

  // The words: maximal runs of letters and digits of the folded value, positions 1..n.
  // Near pairs remember the last N + 1 words in a ring, oldest at `oldest` once it is full.
  struct Word {
    uint32_t start;
    uint32_t length;
  };
  Word ring[MAX_NEAR_DISTANCE + 1];
  const uint32_t ringSize = spec.nearDistance() + 1;
  uint32_t ringCount = 0;
  uint32_t oldest = 0;
  uint32_t i = 1;
  while (i <= n) {
    if (!TextNormalizer::isWordByte(v[i])) {
      ++i;
      continue;
    }
    uint32_t start = i;
    while (i <= n && TextNormalizer::isWordByte(v[i])) ++i;
    uint32_t length = i - start;
    if (spec.baseKind() != BaseKind::WORDS_NEAR) {
      wordKeys(spec.baseKind(), start, length, sink);
      continue;
    }
    for (uint32_t k = 0; k < ringCount; ++k) {
      const Word& earlier = ring[(oldest + k) % ringSize];
      nearKey(earlier.start, earlier.length, start, length, sink);
    }
    if (ringCount < ringSize) {
      ring[ringCount++] = Word{start, length};
    } else {
      ring[oldest] = Word{start, length};
      oldest = (oldest + 1) % ringSize;
    }
  }
}

void IndexKeyBuilder::wordKeys(BaseKind kind, uint32_t start, uint32_t length, KeySink& sink) {
  const uint32_t limit = std::min(length, MAX_INDEX_KEY_LENGTH);
  switch (kind) {
    case BaseKind::WORDS:
      emitInPlace(start, limit, sink);
      return;
    case BaseKind::WORDS_PREFIX:
      sink.addKey(EMPTY_KEY);
      for (uint32_t l = 1; l <= limit; ++l) emitInPlace(start, l, sink);
      return;
    case BaseKind::WORDS_SUFFIX:
      sink.addKey(EMPTY_KEY);
      for (uint32_t l = 1; l <= limit; ++l) emitInPlace(start + length - l, l, sink);
      return;
    case BaseKind::WORDS_SUBSTR:
      sink.addKey(EMPTY_KEY);
      for (uint32_t l = 1; l <= limit; ++l) {
        for (uint32_t at = start; at + l <= start + length; ++at) emitInPlace(at, l, sink);
      }
      return;
    case BaseKind::WHOLE:
    case BaseKind::WHOLE_ALPHANUM:
    case BaseKind::WORDS_NEAR:
      break;
  }
  DOVREL_ASSERT(kind != BaseKind::WORDS_NEAR);
}

void IndexKeyBuilder::emitInPlace(uint32_t start, uint32_t length, KeySink& sink) {
  uint8_t* lengthByte = folded_.data() + start - 1;
  const uint8_t saved = *lengthByte;
  *lengthByte = static_cast<uint8_t>(length);
  // Put back even when the sink throws: the folded value stays whole for the next key.
  struct Restore {
    uint8_t* at;
    uint8_t byte;
    ~Restore() { *at = byte; }
  } restore{lengthByte, saved};
  sink.addKey(lengthByte);
}

void IndexKeyBuilder::nearKey(uint32_t earlierStart, uint32_t earlierLength, uint32_t laterStart,
                              uint32_t laterLength, KeySink& sink) {
  const uint32_t first = std::min(earlierLength, MAX_NEAR_WORD_LENGTH);
  const uint32_t second = std::min(laterLength, MAX_NEAR_WORD_LENGTH);
  std::memcpy(key_.data() + 1, folded_.data() + earlierStart, first);
  key_[1 + first] = ' ';
  std::memcpy(key_.data() + 2 + first, folded_.data() + laterStart, second);
  key_[0] = static_cast<uint8_t>(first + 1 + second);
  sink.addKey(key_.data());
}

void IndexKeyBuilder::queryKey(const IndexKind& spec, FieldType type, TextView value,
                               std::string_view indexFullName, KeyBuffer& key) {
  if (type == FieldType::TEXT) {
    if (spec.baseKind() == BaseKind::WHOLE_ALPHANUM) {
      // Reduced before it is cut, like the document key: a value whose first 250 bytes
      // hold punctuation must still find its own record.
      alphanumKey(reinterpret_cast<const uint8_t*>(value.pointer()), value.length(), key);
      return;
    }
    uint32_t length = std::min(value.length(), MAX_INDEX_KEY_LENGTH);
    TextNormalizer::normalizeCopy(value.pointer(), length, key.data() + 1);
    key[0] = static_cast<uint8_t>(length);
    return;
  }
  DOVREL_ASSERT(hasValueKey(type));
  if (!IndexKeyConverter::valueKey(type, value, key.data()).empty()) {
    std::string message("значение "_cp866);
    message += value.view();
    message += " не соответствует типу поля/индекса "_cp866;
    message += indexFullName;
    throw SemanticError(std::move(message));
  }
}

}  // namespace dovrel::index
