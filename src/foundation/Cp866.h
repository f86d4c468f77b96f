// Compile-time conversion of UTF-8 message literals into the system's single-byte code
// pages, and the run-time conversion back for the console. Usable from any thread.
//
//   std::string_view m = "Ошибка"_cp866;     // bytes 8E E8 A8 A1 AA A0
//   std::string_view n = "чтение"_cp1251;
//
// A character that the code page cannot hold makes the literal ill-formed (a compile
// error), so a typo in a message never reaches the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel {

namespace cp_detail {

// A string literal captured as a template argument (a class type non-type parameter).
template <std::size_t N>
struct Utf8Literal {
  char bytes[N]{};
  consteval Utf8Literal(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) bytes[i] = text[i];
  }
};

// Unicode code point of each byte 0x80..0xFF of code page 866.
inline constexpr std::array<char16_t, 128> CP866_HIGH = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B,
    0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433,
    0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B,
    0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0};

// Unicode code point of each byte 0x80..0xFF of code page 1251 (0 where undefined).
inline constexpr std::array<char16_t, 128> CP1251_HIGH = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

// Decodes one UTF-8 sequence at text[i]; advances i.
consteval char32_t decodeUtf8(const char* text, std::size_t& i) {
  auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t cp = b & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  i += extra + 1;
  return cp;
}

consteval unsigned char encodeByte(char32_t cp, const std::array<char16_t, 128>& high) {
  if (cp < 0x80) return static_cast<unsigned char>(cp);
  for (std::size_t k = 0; k < high.size(); ++k) {
    if (high[k] != 0 && high[k] == cp) return static_cast<unsigned char>(0x80 + k);
  }
  throw "character not representable in the code page";  // makes the literal ill-formed
}

template <std::size_t N>
struct Converted {
  char bytes[N]{};
  std::size_t size = 0;
};

template <Utf8Literal L, bool Dos>
consteval auto convert() {
  Converted<sizeof(L.bytes)> out;
  std::size_t i = 0;
  while (i + 1 < sizeof(L.bytes)) {
    char32_t cp = decodeUtf8(L.bytes, i);
    out.bytes[out.size++] = static_cast<char>(encodeByte(cp, Dos ? CP866_HIGH : CP1251_HIGH));
  }
  return out;
}

template <Utf8Literal L, bool Dos>
inline constexpr auto STORAGE = convert<L, Dos>();

}  // namespace cp_detail

// "текст"_cp866: the literal's bytes in code page 866, with static storage.
template <cp_detail::Utf8Literal L>
constexpr std::string_view operator""_cp866() {
  return {cp_detail::STORAGE<L, true>.bytes, cp_detail::STORAGE<L, true>.size};
}

// "текст"_cp1251: the literal's bytes in code page 1251, with static storage.
template <cp_detail::Utf8Literal L>
constexpr std::string_view operator""_cp1251() {
  return {cp_detail::STORAGE<L, false>.bytes, cp_detail::STORAGE<L, false>.size};
}

// Code page 866 bytes shown as UTF-8 (every byte maps to one character).
std::string cp866ToUtf8(std::string_view bytes);
// Code page 1251 bytes shown as UTF-8; an undefined byte becomes U+FFFD.
std::string cp1251ToUtf8(std::string_view bytes);
// UTF-8 text into code page 866; a character it cannot hold becomes '?'. For tools and
// tests that take text from a UTF-8 terminal.
std::string utf8ToCp866(std::string_view utf8);

// Decodes the UTF-8 sequence at utf8[i] and advances i past it. A malformed, truncated or
// over-long sequence yields U+FFFD and consumes one byte, so a loop over a text always ends.
// Precondition: i < utf8.size().
char32_t decodeUtf8At(std::string_view utf8, std::size_t& i);
// The byte of code page 866 (or 1251) that holds the character; -1 when the code page has
// none. ASCII maps to itself in both.
int cp866ByteOf(char32_t cp);
int cp1251ByteOf(char32_t cp);

}  // namespace dovrel
