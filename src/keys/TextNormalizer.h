// The folding of text values before they become index keys: code page 1251 text is folded
// to upper case (Latin and Cyrillic, the letter Io onto its base letter), so that keys and
// query values compare without regard to case. Pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dovrel::index {

class TextNormalizer {
 public:
  // a-z become A-Z; 0xE0-0xFF (lower-case Cyrillic) become the byte minus 0x20; 0xA8 and
  // 0xB8 (both forms of Io) become 0xC5; every other byte is kept.
  static uint8_t fold(uint8_t byte) { return FOLD[byte]; }
  // Folds `length` bytes in place.
  static void normalize(char* bytes, std::size_t length);
  // Writes the `length` folded bytes of `from` to `to` (the two may be the same place).
  static void normalizeCopy(const char* from, std::size_t length, uint8_t* to);
  // True for the bytes that make up words once text is folded: 0-9, A-Z and 0xC0-0xDF.
  static bool isWordByte(uint8_t foldedByte) { return WORD[foldedByte]; }

 private:
  static constexpr std::array<uint8_t, 256> FOLD = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
      bool lower = (b >= 'a' && b <= 'z') || b >= 0xE0;
      table[b] = static_cast<uint8_t>(lower ? b - 0x20 : (b == 0xA8 || b == 0xB8) ? 0xC5 : b);
    }
    return table;
  }();
  static constexpr std::array<bool, 256> WORD = [] {
    std::array<bool, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
      table[b] = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDF);
    }
    return table;
  }();
};

}  // namespace dovrel::index
