// Value keys: parsing the text forms, the order-preserving encodings and their decoding.
// Pure functions; any thread.
#include "keys/IndexKeyConverter.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"

namespace dovrel::index {

namespace {

constexpr std::string_view OK{};
constexpr std::string_view BAD_NUMBER = "неверный формат числа"_cp866;
constexpr std::string_view NUMBER_TOO_BIG = "слишком большой модуль числа"_cp866;
constexpr std::string_view MANTISSA_TOO_LONG = "слишком много цифр в мантиссе"_cp866;
constexpr std::string_view EXPONENT_TOO_BIG = "слишком большая экспонента"_cp866;
constexpr std::string_view BAD_DATE = "неверный формат даты"_cp866;
constexpr std::string_view BAD_TIME = "неверный формат времени"_cp866;
constexpr std::string_view BAD_DATETIME = "неверный формат даты-времени"_cp866;

constexpr uint64_t MAX_MANTISSA = 10'000'000'000'000'000ull;  // 10^16
constexpr uint32_t MAX_EXPONENT = 300;
constexpr uint64_t SIGN_BIT = uint64_t{1} << 63;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
uint32_t digitAt(std::string_view s, std::size_t i) { return static_cast<uint32_t>(s[i] - '0'); }

void storeBigEndian(uint64_t bits, uint8_t* out) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
}

uint64_t loadBigEndian(const uint8_t* in) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | in[i];
  return bits;
}

// Two digits at s[i], s[i + 1]; false unless both are digits.
bool twoDigits(std::string_view s, std::size_t i, uint32_t& value) {
  if (!isDigit(s[i]) || !isDigit(s[i + 1])) return false;
  value = digitAt(s, i) * 10 + digitAt(s, i + 1);
  return true;
}

bool parseDateText(std::string_view s, IndexKeyConverter::Date& date) {
  if (s.size() != 10 || s[2] != '.' || s[5] != '.') return false;
  uint32_t high = 0;
  uint32_t low = 0;
  if (!twoDigits(s, 0, date.day) || !twoDigits(s, 3, date.month) || !twoDigits(s, 6, high) ||
      !twoDigits(s, 8, low)) {
    return false;
  }
  date.year = high * 100 + low;
  return true;
}

bool parseTimeText(std::string_view s, IndexKeyConverter::Time& time) {
  if ((s.size() != 5 && s.size() != 8) || s[2] != ':') return false;
  if (!twoDigits(s, 0, time.hour) || !twoDigits(s, 3, time.minute)) return false;
  time.second = 0;
  if (s.size() == 8) return s[5] == ':' && twoDigits(s, 6, time.second);
  return true;
}

void appendTwoDigits(std::string& text, uint32_t value) {
  text += static_cast<char>('0' + value / 10);
  text += static_cast<char>('0' + value % 10);
}

void appendDate(std::string& text, const IndexKeyConverter::Date& date) {
  appendTwoDigits(text, date.day);
  text += '.';
  appendTwoDigits(text, date.month);
  text += '.';
  appendTwoDigits(text, date.year / 100);
  appendTwoDigits(text, date.year % 100);
}

void appendTime(std::string& text, const IndexKeyConverter::Time& time) {
  appendTwoDigits(text, time.hour);
  text += ':';
  appendTwoDigits(text, time.minute);
  text += ':';
  appendTwoDigits(text, time.second);
}

// The fields of a date or time key (without the length byte); false when one is out of
// the range that its text form can write.
bool dateFromBytes(const uint8_t* bytes, IndexKeyConverter::Date& date) {
  IndexKeyConverter::Date decoded{bytes[3], bytes[2], (uint32_t{bytes[0]} << 8) | bytes[1]};
  if (decoded.day > 99 || decoded.month > 99 || decoded.year > 9999) return false;
  date = decoded;
  return true;
}

bool timeFromBytes(const uint8_t* bytes, IndexKeyConverter::Time& time) {
  IndexKeyConverter::Time decoded{bytes[0], bytes[1], bytes[2]};
  if (decoded.hour > 99 || decoded.minute > 99 || decoded.second > 99) return false;
  time = decoded;
  return true;
}

// One digit, ".", 13 digits, "E", the exponent's sign and three digits.
std::string doubleText(double value) {
  char buffer[40];
  int n = std::snprintf(buffer, sizeof buffer, "%.13E", value);
  std::string_view printed(buffer, static_cast<std::size_t>(n));
  std::size_t e = printed.find('E');
  std::string text(printed.substr(0, e + 2));  // up to and including the exponent's sign
  std::string_view digits = printed.substr(e + 2);
  text.append(digits.size() < 3 ? 3 - digits.size() : 0, '0');
  text += digits;
  return text;
}

}  // namespace

std::string_view IndexKeyConverter::parseInt64(TextView text, int64_t& value) {
  std::string_view s = text.view();
  std::size_t i = 0;
  bool negative = !s.empty() && s[0] == '-';
  if (negative) ++i;
  if (i == s.size()) return BAD_NUMBER;
  if (s[i] == '0') {
    // "0" alone: no sign, no leading zeros.
    if (negative || s.size() != 1) return BAD_NUMBER;
    value = 0;
    return OK;
  }
  // The magnitude may reach 2^63 only for a negative number.
  const uint64_t limit = negative ? SIGN_BIT : SIGN_BIT - 1;
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    if (!isDigit(s[i])) return BAD_NUMBER;
    uint32_t d = digitAt(s, i);
    if (magnitude > (limit - d) / 10) return NUMBER_TOO_BIG;
    magnitude = magnitude * 10 + d;
  }
  value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
  return OK;
}

std::string_view IndexKeyConverter::parseDouble(TextView text, double& value) {
  std::string_view s = text.view();
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size() || !isDigit(s[i])) return BAD_NUMBER;
  uint64_t mantissa = 0;
  auto takeDigit = [&]() {
    mantissa = mantissa * 10 + digitAt(s, i++);
    return mantissa <= MAX_MANTISSA;
  };
  if (s[i] == '0') {
    ++i;
  } else {
    while (i < s.size() && isDigit(s[i])) {
      if (!takeDigit()) return MANTISSA_TOO_LONG;
    }
  }
  if (i == s.size() || s[i] != '.') return BAD_NUMBER;
  ++i;
  int64_t fractionDigits = 0;
  while (i < s.size() && isDigit(s[i])) {
    if (!takeDigit()) return MANTISSA_TOO_LONG;
    ++fractionDigits;
  }
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativeExponent = s[i++] == '-';
    if (i == s.size()) return BAD_NUMBER;
    while (i < s.size() && isDigit(s[i])) {
      exponent = exponent * 10 + digitAt(s, i++);
      if (exponent > MAX_EXPONENT) return EXPONENT_TOO_BIG;
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != s.size()) return BAD_NUMBER;

  if (mantissa == 0) {
    value = 0.0;
    return OK;
  }
  // mantissa x 10^(exponent - fraction digits), rounded once to the nearest double.
  int64_t power = exponent - fractionDigits;
  char decimal[48];
  char* end = std::to_chars(decimal, decimal + sizeof decimal, mantissa).ptr;
  const int64_t mantissaDigits = end - decimal;
  *end++ = 'e';
  end = std::to_chars(end, decimal + sizeof decimal, power).ptr;
  double magnitude = 0.0;
  if (std::from_chars(decimal, end, magnitude).ec == std::errc::result_out_of_range) {
    // Above the largest double no key exists; below the smallest the value is 0.
    if (mantissaDigits + power > 0) return EXPONENT_TOO_BIG;
    magnitude = 0.0;
  }
  value = negative && magnitude != 0.0 ? -magnitude : magnitude;
  return OK;
}

std::string_view IndexKeyConverter::parseDate(TextView text, Date& date) {
  return parseDateText(text.view(), date) ? OK : BAD_DATE;
}

std::string_view IndexKeyConverter::parseTime(TextView text, Time& time) {
  return parseTimeText(text.view(), time) ? OK : BAD_TIME;
}

std::string_view IndexKeyConverter::parseDateTime(TextView text, Date& date, Time& time) {
  std::string_view s = text.view();
  if (s.size() < 11 || s[10] != ' ') return BAD_DATETIME;
  if (!parseDateText(s.substr(0, 10), date) || !parseTimeText(s.substr(11), time)) {
    return BAD_DATETIME;
  }
  return OK;
}

void IndexKeyConverter::encodeInt64(int64_t value, uint8_t* out) {
  out[0] = INT64_KEY_LENGTH;
  storeBigEndian(static_cast<uint64_t>(value) ^ SIGN_BIT, out + 1);
}

void IndexKeyConverter::encodeDouble(double value, uint8_t* out) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  bits = (bits & SIGN_BIT) == 0 ? bits | SIGN_BIT : ~bits;
  out[0] = DOUBLE_KEY_LENGTH;
  storeBigEndian(bits, out + 1);
}

void IndexKeyConverter::encodeDate(const Date& date, uint8_t* out) {
  DOVREL_ASSERT(date.day <= 99 && date.month <= 99 && date.year <= 9999);
  out[0] = DATE_KEY_LENGTH;
  out[1] = static_cast<uint8_t>(date.year >> 8);
  out[2] = static_cast<uint8_t>(date.year);
  out[3] = static_cast<uint8_t>(date.month);
  out[4] = static_cast<uint8_t>(date.day);
}

void IndexKeyConverter::encodeTime(const Time& time, uint8_t* out) {
  DOVREL_ASSERT(time.hour <= 99 && time.minute <= 99 && time.second <= 99);
  out[0] = TIME_KEY_LENGTH;
  out[1] = static_cast<uint8_t>(time.hour);
  out[2] = static_cast<uint8_t>(time.minute);
  out[3] = static_cast<uint8_t>(time.second);
}

void IndexKeyConverter::encodeDateTime(const Date& date, const Time& time, uint8_t* out) {
  uint8_t timeKey[TIME_KEY_LENGTH + 1];
  encodeTime(time, timeKey);
  encodeDate(date, out);
  std::memcpy(out + 1 + DATE_KEY_LENGTH, timeKey + 1, TIME_KEY_LENGTH);
  out[0] = DATETIME_KEY_LENGTH;
}

std::string_view IndexKeyConverter::valueKey(FieldType type, TextView text, uint8_t* out) {
  std::string_view error;
  switch (type) {
    case FieldType::INT64: {
      int64_t value = 0;
      error = parseInt64(text, value);
      if (error.empty()) encodeInt64(value, out);
      return error;
    }
    case FieldType::DOUBLE: {
      double value = 0;
      error = parseDouble(text, value);
      if (error.empty()) encodeDouble(value, out);
      return error;
    }
    case FieldType::DATE: {
      Date date;
      error = parseDate(text, date);
      if (error.empty()) encodeDate(date, out);
      return error;
    }
    case FieldType::TIME: {
      Time time;
      error = parseTime(text, time);
      if (error.empty()) encodeTime(time, out);
      return error;
    }
    case FieldType::DATETIME: {
      Date date;
      Time time;
      error = parseDateTime(text, date, time);
      if (error.empty()) encodeDateTime(date, time, out);
      return error;
    }
    case FieldType::TEXT:
    case FieldType::BINARY:
    case FieldType::FILE:
      break;
  }
  DOVREL_ASSERT(hasValueKey(type));
  return error;
}

bool IndexKeyConverter::fits(FieldType type, TextView text) {
  if (!hasValueKey(type)) return true;
  KeyBuffer key;
  return valueKey(type, text, key.data()).empty();
}

bool IndexKeyConverter::decodeInt64(Key key, int64_t& value) {
  if (key[0] != INT64_KEY_LENGTH) return false;
  value = static_cast<int64_t>(loadBigEndian(key + 1) ^ SIGN_BIT);
  return true;
}

bool IndexKeyConverter::decodeDouble(Key key, double& value) {
  if (key[0] != DOUBLE_KEY_LENGTH) return false;
  uint64_t bits = loadBigEndian(key + 1);
  bits = (bits & SIGN_BIT) != 0 ? bits & ~SIGN_BIT : ~bits;
  double decoded = std::bit_cast<double>(bits);
  if (!std::isfinite(decoded)) return false;
  value = decoded;
  return true;
}

bool IndexKeyConverter::decodeDate(Key key, Date& date) {
  return key[0] == DATE_KEY_LENGTH && dateFromBytes(key + 1, date);
}

bool IndexKeyConverter::decodeTime(Key key, Time& time) {
  return key[0] == TIME_KEY_LENGTH && timeFromBytes(key + 1, time);
}

bool IndexKeyConverter::decodeDateTime(Key key, Date& date, Time& time) {
  if (key[0] != DATETIME_KEY_LENGTH) return false;
  Date d;
  Time t;
  if (!dateFromBytes(key + 1, d) || !timeFromBytes(key + 1 + DATE_KEY_LENGTH, t)) return false;
  date = d;
  time = t;
  return true;
}

bool IndexKeyConverter::keyText(FieldType type, Key key, std::string& text) {
  switch (type) {
    case FieldType::INT64: {
      int64_t value = 0;
      if (!decodeInt64(key, value)) return false;
      text = std::to_string(value);
      return true;
    }
    case FieldType::DOUBLE: {
      double value = 0;
      if (!decodeDouble(key, value)) return false;
      text = doubleText(value);
      return true;
    }
    case FieldType::DATE: {
      Date date;
      if (!decodeDate(key, date)) return false;
      text.clear();
      appendDate(text, date);
      return true;
    }
    case FieldType::TIME: {
      Time time;
      if (!decodeTime(key, time)) return false;
      text.clear();
      appendTime(text, time);
      return true;
    }
    case FieldType::DATETIME: {
      Date date;
      Time time;
      if (!decodeDateTime(key, date, time)) return false;
      text.clear();
      appendDate(text, date);
      text += ' ';
      appendTime(text, time);
      return true;
    }
    case FieldType::TEXT:
    case FieldType::BINARY:
    case FieldType::FILE:
      break;
  }
  DOVREL_ASSERT(hasValueKey(type));
  return false;
}

bool IndexKeyConverter::appendListedKey(FieldType type, Key key, TextBuffer& out) {
  if (!hasValueKey(type)) {
    out.appendCountedPascal(key);
  } else {
    std::string text;
    if (!keyText(type, key, text)) return false;
    out.appendCounted(std::string_view(text));
  }
  out.append(std::string_view("\r\n"));
  return true;
}

}  // namespace dovrel::index
