// The client's code pages: typed commands into the bytes sent, answers back into UTF-8, and
// the refusal of characters a code page cannot hold.
#include <gtest/gtest.h>

#include "client/ClientError.h"
#include "client/TextEncoding.h"
#include "foundation/Cp866.h"

namespace dovrel::client {
namespace {

constexpr ValueCodePage V1251 = ValueCodePage::VALUES_1251;
constexpr ValueCodePage V866 = ValueCodePage::VALUES_866;

struct EncodeCase {
  std::string typed;
  ValueCodePage values;
  std::string sent;
};

TEST(TextEncodingTest, StringValuesGoIn1251AndTheRestIn866) {
  const std::string mir1251(std::string("мир"_cp1251));
  const std::string mir866(std::string("мир"_cp866));
  const EncodeCase cases[] = {
      {"'мир' мир", V1251, "'" + mir1251 + "' " + mir866},
      {"\"мир\"мир", V1251, "\"" + mir1251 + "\"" + mir866},
      // A quote of the other kind is content.
      {"\"it's мир\" мир", V1251, "\"it's " + mir1251 + "\" " + mir866},
      // Counted strings count characters; each is one byte, so the count stays.
      {"#3#мир# мир", V1251, "#3#" + mir1251 + "# " + mir866},
      {"#4#м'#р# мир", V1251, "#4#" + std::string("м'#р"_cp1251) + "# " + mir866},
      {"#0##мир", V1251, "#0##" + mir866},
      // Not "#digits#": plain text, so the quote after it opens a string.
      {"#x мир 'мир'", V1251, "#x " + mir866 + " '" + mir1251 + "'"},
      {"#3 мир", V1251, "#3 " + mir866},
      // Unfinished strings: the server refuses them; the client converts what is there.
      {"#9#мир", V1251, "#9#" + mir1251},
      {"'мир", V1251, "'" + mir1251},
      {"#3#мир", V1251, "#3#" + mir1251},
      // The password must match the login line, which is code page 866.
      {"alter user anna identified by 'мир';", V1251,
       "alter user anna identified by '" + mir866 + "';"},
      {"IDENTIFIED\r\n BY #3#мир#", V1251, "IDENTIFIED\r\n BY #3#" + mir866 + "#"},
      {"by 'мир' identified 'мир'", V1251, "by '" + mir1251 + "' identified '" + mir1251 + "'"},
      {"'мир'", V866, "'" + mir866 + "'"},
      {"'5 €'", V1251, "'5 \x88'"},
      {"select from t;", V1251, "select from t;"},
      {"", V1251, ""},
  };
  for (const EncodeCase& c : cases) EXPECT_EQ(encodeCommand(c.typed, c.values), c.sent) << c.typed;
}

struct RefusalCase {
  std::string typed;
  ValueCodePage values;
  std::string message;
};

TEST(TextEncodingTest, CharacterTheCodePageCannotHoldIsRefusedWithItsPosition) {
  const RefusalCase cases[] = {
      {"add document { field t = '😀'; } to table t;", V1251,
       "line 1, column 27: the character U+1F600 '😀' has no place in code page 1251 (string "
       "values); nothing was sent"},
      {"'Café'", V1251,
       "line 1, column 5: the character U+00E9 'é' has no place in code page 1251 (string "
       "values); nothing was sent"},
      {"select\r\n from é", V1251,
       "line 2, column 7: the character U+00E9 'é' has no place in code page 866; nothing was "
       "sent"},
      // Lines inside a counted string count as the user sees them.
      {"#5#а\nб\nв# 😀", V1251,
       "line 3, column 4: the character U+1F600 '😀' has no place in code page 866; nothing "
       "was sent"},
      {"'€'", V866,
       "line 1, column 2: the character U+20AC '€' has no place in code page 866; nothing was "
       "sent"},
      {"'мир\xFF'", V1251, "line 1, column 5: the byte 0xFF is not UTF-8; nothing was sent"},
      {"'\xD0'", V1251, "line 1, column 2: the byte 0xD0 is not UTF-8; nothing was sent"},
      {"'\xEF\xBF\xBD'", V1251,
       "line 1, column 2: the character U+FFFD '\xEF\xBF\xBD' has no place in code page 1251 "
       "(string values); nothing was sent"},
  };
  for (const RefusalCase& c : cases) {
    try {
      encodeCommand(c.typed, c.values);
      ADD_FAILURE() << "not refused: " << c.typed;
    } catch (const ClientError& error) {
      EXPECT_EQ(error.what(), c.message) << c.typed;
    }
  }
}

struct DecodeCase {
  std::string received;
  ValueCodePage values;
  std::string shown;
};

TEST(TextEncodingTest, CountedStringsComeBackFrom1251AndTheRestFrom866) {
  const std::string mir1251(std::string("мир"_cp1251));
  const DecodeCase cases[] = {
      {"OK\r\nuser anna alias #3#" + mir1251 + "# kind grantee", V1251,
       "OK\nuser anna alias #3#мир# kind grantee"},
      {std::string("Ошибка"_cp866) + "\r\n", V1251, "Ошибка\n"},
      {"#3#" + std::string("мир"_cp866) + "#", V866, "#3#мир#"},
      // CR LF inside a value is shown as one line end and counted as one character.
      {"#4#a\r\nb#\r\n", V1251, "#3#a\nb#\n"},
      {"#3#a\rb#", V1251, "#3#a\rb#"},
      {"#0##", V1251, "#0##"},
      {"#1###\r\n#2#12#", V1251, "#1###\n#2#12#"},
      // A byte 1251 leaves undefined is one character, shown as U+FFFD.
      {"#1#\x98#", V1251, "#1#\xEF\xBF\xBD#"},
      // Not a complete counted string: plain code page 866.
      {std::string("ожидается #1"_cp866), V1251, "ожидается #1"},
      {"#2#" + mir1251 + "#", V1251, "#2#" + std::string(cp866ToUtf8(mir1251)) + "#"},
      {"#9#ab#", V1251, "#9#ab#"},
      {"#3#ab", V1251, "#3#ab"},
      {"#", V1251, "#"},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(decodeAnswer(c.received, c.values), c.shown) << c.received;
  }
}

TEST(TextEncodingTest, TypedValueComesBackAsTyped) {
  const std::string typed = "#11#Война и мир#";
  const std::string sent = encodeCommand(typed, V1251);
  EXPECT_EQ(sent, "#11#" + std::string("Война и мир"_cp1251) + "#");
  EXPECT_EQ(decodeAnswer(sent, V1251), typed);
}

}  // namespace
}  // namespace dovrel::client
