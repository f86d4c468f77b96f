// IndexKeyConverter: the text forms of int64, double, date, time and datetime values, their
// order-preserving keys (bytewise key order is numeric order), and the decoding of such keys
// back to canonical text for key listings. Pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/TextView.h"
#include "index/Key.h"
#include "keys/FieldType.h"

namespace dovrel {
class TextBuffer;
}

namespace dovrel::index {

// Room for any key: the length byte and up to 255 bytes.
using KeyBuffer = std::array<uint8_t, 256>;

class IndexKeyConverter {
 public:
  // A value key's length byte doubles as its type tag (int64 and double share 8).
  static constexpr uint8_t INT64_KEY_LENGTH = 8;
  static constexpr uint8_t DOUBLE_KEY_LENGTH = 8;
  static constexpr uint8_t DATE_KEY_LENGTH = 4;
  static constexpr uint8_t TIME_KEY_LENGTH = 3;
  static constexpr uint8_t DATETIME_KEY_LENGTH = 7;

  // A calendar date and a time of day as written; the digits are not range-checked, so
  // 31.02.2007 and 99:99 are values too.
  struct Date {
    uint32_t day = 0;
    uint32_t month = 0;
    uint32_t year = 0;
  };
  struct Time {
    uint32_t hour = 0;
    uint32_t minute = 0;
    uint32_t second = 0;
  };

  // The parsers return the empty text on success and otherwise the reason (code page 866):
  //   int64    "0", or an optional "-", a digit 1-9 and digits; the whole signed 64-bit
  //            range. "неверный формат числа", "слишком большой модуль числа".
  //   double   optional sign; "0" or a digit 1-9 and digits; "." (required); digits; an
  //            optional exponent: "e" or "E", optional sign, digits. The integer and
  //            fraction digits read as one integer may not exceed 10^16, the exponent not
  //            300. "неверный формат числа", "слишком много цифр в мантиссе",
  //            "слишком большая экспонента" (also for a value beyond the largest double).
  //   date     DD.MM.YYYY. "неверный формат даты".
  //   time     HH:MM or HH:MM:SS (seconds 0 when missing). "неверный формат времени".
  //   datetime a date, one blank, a time. "неверный формат даты-времени".
  static std::string_view parseInt64(TextView text, int64_t& value);
  // The value is the decimal value correctly rounded, so texts of one number (1.5e-5,
  // 15.e-6, 0.000015) give one key; -0 gives +0 for the same reason.
  static std::string_view parseDouble(TextView text, double& value);
  static std::string_view parseDate(TextView text, Date& date);
  static std::string_view parseTime(TextView text, Time& time);
  static std::string_view parseDateTime(TextView text, Date& date, Time& time);

  // The encoders write a key (length byte, then the bytes) to `out`:
  //   int64    8 bytes, two's complement big-endian with the top bit inverted;
  //   double   8 bytes, the IEEE-754 bits big-endian; the sign bit is set when it was
  //            clear, and all bits are inverted when it was set;
  //   date     year (high, low), month, day;   time  hour, minute, second;
  //   datetime the date's 4 bytes, then the time's 3.
  // Date and time fields must fit their bytes (day, month, hour, minute, second <= 99,
  // year <= 9999; fatal otherwise), which every parsed value does.
  static void encodeInt64(int64_t value, uint8_t* out);
  static void encodeDouble(double value, uint8_t* out);
  static void encodeDate(const Date& date, uint8_t* out);
  static void encodeTime(const Time& time, uint8_t* out);
  static void encodeDateTime(const Date& date, const Time& time, uint8_t* out);

  // The key of `text` as a value of `type` (one of the types with a value key, fatal
  // otherwise) written to `out`; the empty text on success, else the parser's reason.
  static std::string_view valueKey(FieldType type, TextView text, uint8_t* out);
  // True when `text` is a value of `type`. Types without a value key accept every text.
  static bool fits(FieldType type, TextView text);

  // The canonical text of a key of `type` (a type with a value key):
  //   int64 plain decimal; double "-"? d "." 13 digits "E" sign 3 digits (e.g.
  //   1.0000000000000E+005); date DD.MM.YYYY; time HH:MM:SS; datetime DD.MM.YYYY HH:MM:SS.
  // False, with `text` unchanged, when the key is not one of that type: a wrong length tag,
  // fields out of range, or a double that is not finite (only a damaged index holds such).
  static bool keyText(FieldType type, Key key, std::string& text);
  // Appends a listed key to a key listing: its text as a counted string, then CR LF. Keys
  // of text fields are listed as stored; keys of types with a value key are decoded first.
  // False, appending nothing, when such a key cannot be decoded.
  static bool appendListedKey(FieldType type, Key key, TextBuffer& out);
  static bool decodeInt64(Key key, int64_t& value);
  static bool decodeDouble(Key key, double& value);
  static bool decodeDate(Key key, Date& date);
  static bool decodeTime(Key key, Time& time);
  static bool decodeDateTime(Key key, Date& date, Time& time);
};

}  // namespace dovrel::index
