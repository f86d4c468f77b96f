// Folding whole texts. Any thread.
#include "keys/TextNormalizer.h"

namespace dovrel::index {

void TextNormalizer::normalize(char* bytes, std::size_t length) {
  normalizeCopy(bytes, length, reinterpret_cast<uint8_t*>(bytes));
}

void TextNormalizer::normalizeCopy(const char* from, std::size_t length, uint8_t* to) {
  const auto* in = reinterpret_cast<const uint8_t*>(from);
  for (std::size_t i = 0; i < length; ++i) to[i] = FOLD[in[i]];
}

}  // namespace dovrel::index
