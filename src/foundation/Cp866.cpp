// Run-time conversions between the system's single-byte code pages and UTF-8, for the
// console and for tools that read a UTF-8 terminal. Pure functions; any thread.
#include "foundation/Cp866.h"

namespace dovrel {

namespace {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    // Both code pages stay inside the basic multilingual plane.
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string toUtf8(std::string_view bytes, const std::array<char16_t, 128>& high) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      char16_t cp = high[b - 0x80];
      appendUtf8(out, cp != 0 ? cp : 0xFFFD);
    }
  }
  return out;
}

char32_t decodeOne(std::string_view text, std::size_t& i) {
  auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int extra;
  char32_t cp;
  char32_t least;
  if ((b & 0xE0) == 0xC0) {
    extra = 1, cp = b & 0x1F, least = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    extra = 2, cp = b & 0x0F, least = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    extra = 3, cp = b & 0x07, least = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (text.size() - i <= static_cast<std::size_t>(extra)) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < least) {
    ++i;
    return 0xFFFD;
  }
  i += extra + 1;
  return cp;
}

int byteOf(char32_t cp, const std::array<char16_t, 128>& high) {
  if (cp < 0x80) return static_cast<int>(cp);
  for (std::size_t k = 0; k < high.size(); ++k) {
    if (high[k] != 0 && high[k] == cp) return static_cast<int>(0x80 + k);
  }
  return -1;
}

}  // namespace

char32_t decodeUtf8At(std::string_view utf8, std::size_t& i) { return decodeOne(utf8, i); }

int cp866ByteOf(char32_t cp) { return byteOf(cp, cp_detail::CP866_HIGH); }

int cp1251ByteOf(char32_t cp) { return byteOf(cp, cp_detail::CP1251_HIGH); }

std::string cp866ToUtf8(std::string_view bytes) { return toUtf8(bytes, cp_detail::CP866_HIGH); }

std::string cp1251ToUtf8(std::string_view bytes) { return toUtf8(bytes, cp_detail::CP1251_HIGH); }

std::string utf8ToCp866(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const int byte = cp866ByteOf(decodeOne(utf8, i));
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
  }
  return out;
}

}  // namespace dovrel
