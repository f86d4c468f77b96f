// Value keys: accepted and refused texts with their messages, order preservation of the
// encodings, and the canonical texts printed by the decoders.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>

#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"
#include "keys/IndexKeyConverter.h"
#include "keys/KeysTestSupport.h"

namespace dovrel::index {
namespace {

using C = IndexKeyConverter;

const std::string_view BAD_NUMBER = "неверный формат числа"_cp866;
const std::string_view TOO_BIG = "слишком большой модуль числа"_cp866;
const std::string_view MANTISSA = "слишком много цифр в мантиссе"_cp866;
const std::string_view EXPONENT = "слишком большая экспонента"_cp866;

// The key of a text, or the refusal; `type` is one with a value key.
struct Converted {
  std::string_view error;
  KeyBuffer key{};
  std::string bytes() const { return test::keyBytes(key.data()); }
};
Converted convert(FieldType type, std::string_view text) {
  Converted c;
  c.error = C::valueKey(type, text, c.key.data());
  return c;
}

std::string printed(FieldType type, const KeyBuffer& key) {
  std::string text = "<undecodable>";
  C::keyText(type, key.data(), text);
  return text;
}

int compareKeys(const KeyBuffer& a, const KeyBuffer& b) {
  return std::memcmp(a.data(), b.data(), a[0] + 1u);  // same length: the tag is equal
}

TEST(IndexKeyConverterTest, Int64TextsAndMessages) {
  struct Case {
    std::string_view text;
    std::string_view error;
  } cases[] = {
      {"0", ""},
      {"7", ""},
      {"-42", ""},
      {"9223372036854775807", ""},
      {"-9223372036854775808", ""},
      {"9223372036854775808", TOO_BIG},  // the smallest int64 without its minus sign
      {"-9223372036854775809", TOO_BIG},
      {"123456789012345678901234", TOO_BIG},
      {"", BAD_NUMBER},
      {"-", BAD_NUMBER},
      {"-0", BAD_NUMBER},
      {"007", BAD_NUMBER},
      {"00", BAD_NUMBER},
      {"+5", BAD_NUMBER},
      {"12a", BAD_NUMBER},
      {" 1", BAD_NUMBER},
      {"1.0", BAD_NUMBER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(convert(FieldType::INT64, c.text).error, c.error) << c.text;
  }
  EXPECT_EQ(printed(FieldType::INT64, convert(FieldType::INT64, "-9223372036854775808").key),
            "-9223372036854775808");
  EXPECT_EQ(convert(FieldType::INT64, "0").bytes(), std::string("\x80\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(convert(FieldType::INT64, "-1").bytes(), "\x7f\xff\xff\xff\xff\xff\xff\xff");
}

TEST(IndexKeyConverterTest, DoubleTextsAndMessages) {
  struct Case {
    std::string_view text;
    std::string_view error;
  } cases[] = {
      {"1.e5", ""},
      {"0.", ""},
      {"-0.5", ""},
      {"+3.25E-2", ""},
      {"12.5e+300", ""},
      {"1.E-300", ""},
      {"10000000000000000.", ""},        // mantissa exactly 10^16
      {"0.0000000000000000000001", ""},  // leading zeros add no mantissa digits
      {"1e5", BAD_NUMBER},               // the point is required
      {".5", BAD_NUMBER},
      {"00.5", BAD_NUMBER},
      {"1.5e", BAD_NUMBER},
      {"1.5e+", BAD_NUMBER},
      {"1.5x", BAD_NUMBER},
      {"--1.", BAD_NUMBER},
      {"", BAD_NUMBER},
      {"10000000000000001.", MANTISSA},
      {"1234567890.1234567", MANTISSA},
      {"1.e301", EXPONENT},
      {"1.e-301", EXPONENT},
      {"1.e999999999999999999999", EXPONENT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(convert(FieldType::DOUBLE, c.text).error, c.error) << c.text;
  }
  double value = 0;
  ASSERT_EQ(C::parseDouble("1.e5", value), "");
  EXPECT_EQ(value, 100000.0);
  ASSERT_EQ(C::parseDouble("-12.5e-1", value), "");
  EXPECT_EQ(value, -1.25);
}

// Sound behaviour: a value beyond the largest double has no key and is refused; one below
// the smallest is 0.
TEST(IndexKeyConverterTest, DoubleOutsideTheRangeOfDoubles) {
  EXPECT_EQ(convert(FieldType::DOUBLE, "10000000000000000.e300").error, EXPONENT);
  EXPECT_EQ(convert(FieldType::DOUBLE, "-2.e308").error, EXPONENT);
  double value = -1;
  ASSERT_EQ(C::parseDouble("1.e300", value), "");
  EXPECT_EQ(value, 1e300);
  ASSERT_EQ(C::parseDouble("0.000000000000000000000000001e-300", value), "");
  EXPECT_EQ(value, 0.0);
  EXPECT_FALSE(std::signbit(value));
}

// Sound behaviour: texts of one number give one key, so an equality search finds every
// way of writing it; -0 and 0 are one number too.
TEST(IndexKeyConverterTest, EqualNumbersGiveEqualKeys) {
  const std::vector<std::vector<std::string_view>> groups = {
      {"1.5e-5", "15.e-6", "0.000015", "0.0000150", "150.e-7"},
      {"100000.", "1.e5", "0.1e6", "1000000.e-1"},
      {"0.", "-0.", "+0.0", "-0.000e-5", "0.e300"},
      {"-3.14159", "-314159.e-5", "-0.00314159e3"},
  };
  for (const auto& group : groups) {
    const std::string first = convert(FieldType::DOUBLE, group[0]).bytes();
    for (std::string_view text : group) {
      Converted c = convert(FieldType::DOUBLE, text);
      ASSERT_EQ(c.error, "") << text;
      EXPECT_EQ(c.bytes(), first) << text << " vs " << group[0];
    }
  }
}

TEST(IndexKeyConverterTest, DateAndTimeTextsAndMessages) {
  const std::string_view BAD_DATE = "неверный формат даты"_cp866;
  const std::string_view BAD_TIME = "неверный формат времени"_cp866;
  const std::string_view BAD_DATETIME = "неверный формат даты-времени"_cp866;
  struct Case {
    FieldType type;
    std::string_view text;
    std::string_view error;
    std::string_view canonical;
  } cases[] = {
      {FieldType::DATE, "07.04.2008", "", "07.04.2008"},
      {FieldType::DATE, "31.02.2007", "", "31.02.2007"},  // digits are not range-checked
      {FieldType::DATE, "99.99.9999", "", "99.99.9999"},
      {FieldType::DATE, "7.04.2008", BAD_DATE, ""},
      {FieldType::DATE, "07-04-2008", BAD_DATE, ""},
      {FieldType::DATE, "07.04.08", BAD_DATE, ""},
      {FieldType::DATE, "07.04.2008 ", BAD_DATE, ""},
      {FieldType::DATE, "0a.04.2008", BAD_DATE, ""},
      {FieldType::TIME, "23:59", "", "23:59:00"},
      {FieldType::TIME, "99:99", "", "99:99:00"},
      {FieldType::TIME, "00:00:07", "", "00:00:07"},
      {FieldType::TIME, "1:00", BAD_TIME, ""},
      {FieldType::TIME, "10:00:0", BAD_TIME, ""},
      {FieldType::TIME, "10.00", BAD_TIME, ""},
      {FieldType::TIME, "10:00.00", BAD_TIME, ""},
      {FieldType::TIME, "", BAD_TIME, ""},
      {FieldType::DATETIME, "07.04.2008 12:30", "", "07.04.2008 12:30:00"},
      {FieldType::DATETIME, "07.04.2008 12:30:45", "", "07.04.2008 12:30:45"},
      {FieldType::DATETIME, "07.04.2008", BAD_DATETIME, ""},
      {FieldType::DATETIME, "07.04.2008  12:30", BAD_DATETIME, ""},
      {FieldType::DATETIME, "07.04.2008T12:30", BAD_DATETIME, ""},
      {FieldType::DATETIME, "7.04.2008 12:30:45", BAD_DATETIME, ""},
  };
  for (const Case& c : cases) {
    Converted converted = convert(c.type, c.text);
    EXPECT_EQ(converted.error, c.error) << c.text;
    if (c.error.empty()) {
      EXPECT_EQ(printed(c.type, converted.key), c.canonical) << c.text;
    }
  }
  EXPECT_EQ(convert(FieldType::DATE, "07.04.2008").bytes(), "\x07\xD8\x04\x07");
  EXPECT_EQ(convert(FieldType::DATETIME, "07.04.2008 12:30:45").bytes(),
            "\x07\xD8\x04\x07\x0C\x1E\x2D");
}

TEST(IndexKeyConverterTest, DecodersRefuseKeysOfOtherTypes) {
  KeyBuffer key{};
  std::string text = "kept";
  key[0] = 3;  // a time key
  EXPECT_FALSE(C::keyText(FieldType::DATE, key.data(), text));
  EXPECT_FALSE(C::keyText(FieldType::INT64, key.data(), text));
  key = {4, 0x27, 0x10, 1, 1};  // year 10000: no DD.MM.YYYY text exists for it
  EXPECT_FALSE(C::keyText(FieldType::DATE, key.data(), text));
  key = {3, 100, 0, 0};
  EXPECT_FALSE(C::keyText(FieldType::TIME, key.data(), text));
  key = {8, 0xFF, 0xF8, 0, 0, 0, 0, 0, 0};  // a NaN
  EXPECT_FALSE(C::keyText(FieldType::DOUBLE, key.data(), text));
  EXPECT_EQ(text, "kept");
}

TEST(IndexKeyConverterTest, ListedKeysAreCountedTexts) {
  TextBuffer out;
  const uint8_t textKey[] = {3, 'A', '#', 'B'};
  ASSERT_TRUE(C::appendListedKey(FieldType::TEXT, textKey, out));
  ASSERT_TRUE(
      C::appendListedKey(FieldType::INT64, convert(FieldType::INT64, "-15").key.data(), out));
  ASSERT_TRUE(
      C::appendListedKey(FieldType::TIME, convert(FieldType::TIME, "07:05").key.data(), out));
  const uint8_t empty[] = {0};
  ASSERT_TRUE(C::appendListedKey(FieldType::TEXT, empty, out));
  const std::string listing = "#3#A#B#\r\n#3#-15#\r\n#8#07:05:00#\r\n#0##\r\n";
  EXPECT_EQ(out.toString(), listing);
  EXPECT_FALSE(C::appendListedKey(FieldType::DATE, textKey, out));
  EXPECT_EQ(out.toString(), listing);
}

TEST(IndexKeyConverterTest, DoubleCanonicalTexts) {
  struct Case {
    std::string_view text;
    std::string_view canonical;
  } cases[] = {
      {"1.e5", "1.0000000000000E+005"},
      {"-1.5e-300", "-1.5000000000000E-300"},
      {"0.", "0.0000000000000E+000"},
      {"-0.", "0.0000000000000E+000"},
      {"123.456", "1.2345600000000E+002"},
      {"0.1", "1.0000000000000E-001"},
      {"9.99999999999999e99", "1.0000000000000E+100"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(printed(FieldType::DOUBLE, convert(FieldType::DOUBLE, c.text).key), c.canonical)
        << c.text;
  }
  KeyBuffer key;
  C::encodeDouble(std::numeric_limits<double>::denorm_min(), key.data());
  EXPECT_EQ(printed(FieldType::DOUBLE, key), "4.9406564584125E-324");
  C::encodeDouble(-std::numeric_limits<double>::max(), key.data());
  EXPECT_EQ(printed(FieldType::DOUBLE, key), "-1.7976931348623E+308");
}

// Properties over random values: bytewise key order is numeric order, and decoding prints
// the canonical text.

TEST(IndexKeyConverterTest, Int64KeysKeepOrderAndPrintDecimal) {
  for (uint32_t seed : test::testSeeds(5)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<int64_t> values = {INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX};
    for (int i = 0; i < 2000; ++i) {
      // Random magnitudes of every size, not only huge ones.
      values.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    }
    std::vector<KeyBuffer> keys(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      Converted c = convert(FieldType::INT64, std::to_string(values[i]));
      ASSERT_EQ(c.error, "") << values[i];
      keys[i] = c.key;
      ASSERT_EQ(printed(FieldType::INT64, c.key), std::to_string(values[i]));
    }
    for (std::size_t i = 1; i < values.size(); ++i) {
      int byValue = values[i - 1] < values[i] ? -1 : values[i - 1] > values[i] ? 1 : 0;
      int byKey = compareKeys(keys[i - 1], keys[i]);
      ASSERT_EQ(byValue, byKey < 0 ? -1 : byKey > 0 ? 1 : 0) << values[i - 1] << " " << values[i];
    }
  }
}

double randomDouble(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0: {  // any finite bit pattern: tiny and huge exponents, subnormals
      double d;
      do d = std::bit_cast<double>(rng());
      while (!std::isfinite(d));
      return d;
    }
    case 1:
      return static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 8;  // ties, zeros
    case 2:
      return rng() % 2 ? 0.0 : -0.0;
    default:
      return std::ldexp(static_cast<double>(rng() % 1000) - 500, static_cast<int>(rng() % 40) - 20);
  }
}

TEST(IndexKeyConverterTest, DoubleKeysKeepOrderAndDecodeToCanonicalText) {
  const std::regex canonical(R"(-?[0-9]\.[0-9]{13}E[+-][0-9]{3})");
  for (uint32_t seed : test::testSeeds(5)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 3000; ++i) {
      double a = randomDouble(rng);
      double b = randomDouble(rng);
      KeyBuffer ka;
      KeyBuffer kb;
      C::encodeDouble(a, ka.data());
      C::encodeDouble(b, kb.data());
      int byKey = compareKeys(ka, kb);
      if (a < b) {
        ASSERT_LT(byKey, 0) << a << " " << b;
      } else if (a > b) {
        ASSERT_GT(byKey, 0) << a << " " << b;
      } else if (std::signbit(a) == std::signbit(b)) {
        ASSERT_EQ(byKey, 0) << a;
      }

      double decoded = 0;
      ASSERT_TRUE(C::decodeDouble(ka.data(), decoded));
      ASSERT_EQ(std::bit_cast<uint64_t>(decoded), std::bit_cast<uint64_t>(a));
      std::string text = printed(FieldType::DOUBLE, ka);
      ASSERT_TRUE(std::regex_match(text, canonical)) << text;
      double back = std::strtod(text.c_str(), nullptr);
      ASSERT_LE(std::fabs(back - a), std::fabs(a) * 1e-13 + 1e-320) << text << " for " << a;
      // A canonical text within the parser's exponent range converts to a key that prints
      // the same text again (-0 reads as 0).
      if (std::fabs(a) < 1e300 && (a == 0 || std::fabs(a) > 1e-300)) {
        Converted again = convert(FieldType::DOUBLE, text);
        ASSERT_EQ(again.error, "") << text;
        ASSERT_EQ(printed(FieldType::DOUBLE, again.key), a == 0 ? "0.0000000000000E+000" : text);
      }
    }
  }
}

std::string twoDigits(uint32_t v) { return std::string{char('0' + v / 10), char('0' + v % 10)}; }

TEST(IndexKeyConverterTest, DateAndTimeKeysKeepOrderAndDecodeToCanonicalText) {
  for (uint32_t seed : test::testSeeds(5)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> upTo99(0, 99);
    std::uniform_int_distribution<uint32_t> year(0, 9999);
    struct Sample {
      std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> value;
      KeyBuffer key;
    };
    std::vector<Sample> samples;
    for (int i = 0; i < 2000; ++i) {
      uint32_t y = year(rng), mo = upTo99(rng), d = upTo99(rng);
      uint32_t h = upTo99(rng), mi = upTo99(rng), s = rng() % 2 ? upTo99(rng) : 0;
      std::string date =
          twoDigits(d) + "." + twoDigits(mo) + "." + twoDigits(y / 100) + twoDigits(y % 100);
      std::string time = twoDigits(h) + ":" + twoDigits(mi);
      std::string fullTime = time + ":" + twoDigits(s);
      if (s != 0 || rng() % 2) time = fullTime;
      Converted dt = convert(FieldType::DATETIME, date + " " + time);
      ASSERT_EQ(dt.error, "") << date << " " << time;
      ASSERT_EQ(printed(FieldType::DATETIME, dt.key), date + " " + fullTime);
      Converted dc = convert(FieldType::DATE, date);
      ASSERT_EQ(printed(FieldType::DATE, dc.key), date);
      Converted tc = convert(FieldType::TIME, time);
      ASSERT_EQ(printed(FieldType::TIME, tc.key), fullTime);
      samples.push_back({{y, mo, d, h, mi, s}, dt.key});
    }
    for (std::size_t i = 1; i < samples.size(); ++i) {
      const Sample& a = samples[i - 1];
      const Sample& b = samples[i];
      int byKey = compareKeys(a.key, b.key);
      ASSERT_EQ(a.value < b.value, byKey < 0);
      ASSERT_EQ(a.value == b.value, byKey == 0);
    }
  }
}

}  // namespace
}  // namespace dovrel::index
