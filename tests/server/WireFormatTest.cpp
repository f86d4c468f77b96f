// Request header validation and answer framing, byte for byte.
#include <gtest/gtest.h>

#include "server/WireFormat.h"

namespace dovrel::server {
namespace {

std::string header(std::string_view length, std::string_view checksum) {
  return "Format: TORV5\r\nContent-Length: " + std::string(length) +
         "\r\nChecksum: " + std::string(checksum) + "\r\n\r\n";
}

TEST(WireFormatTest, AcceptsLengthsFromOneToTenDigitsUpToTheLimit) {
  const struct {
    const char* digits;
    uint32_t length;
  } cases[] = {{"0", 0}, {"7", 7}, {"0000000012", 12}, {"4294967295", 4294967295u}};
  for (const auto& c : cases) {
    RequestHeader parsed;
    ASSERT_TRUE(parseRequestHeader(header(c.digits, "CBF43926"), &parsed)) << c.digits;
    EXPECT_EQ(parsed.queryLength, c.length);
    EXPECT_EQ(parsed.checksum, 0xCBF43926u);
    EXPECT_EQ(parsed.quiet(), c.length == 0);
  }
}

TEST(WireFormatTest, RefusesMalformedHeaders) {
  const std::string cases[] = {
      header("4294967296", "00000000"),   // above the 32-bit limit
      header("9999999999", "00000000"),   // far above it
      header("00000000001", "00000000"),  // 11 digits
      header("", "00000000"),             // no digits
      header("1 ", "00000000"),           // a blank
      header("+1", "00000000"),           // a sign
      header("5", "cbf43926"),            // lower-case hex
      header("5", "CBF4392"),             // 7 hex digits
      header("5", "CBF43926A"),           // 9 hex digits
      header("5", "CBF4392G"),            // not hex
      "Format: TORV4\r\nContent-Length: 5\r\nChecksum: 00000000\r\n\r\n",
      "Format: TORV5\r\nContent-length: 5\r\nChecksum: 00000000\r\n\r\n",
      "Format: TORV5\r\nContent-Length: 5\r\nChecksum:  0000000\r\n\r\n",
      "Format: TORV5\r\nContent-Length: 5\r\nChecksum: 00000000\n\n\r\n",
      "Format: TORV5\nContent-Length: 5\r\nChecksum: 00000000\r\n\r\n\n",
      std::string(65, 'x'),
      "",
  };
  for (const std::string& bytes : cases) {
    RequestHeader parsed;
    EXPECT_FALSE(parseRequestHeader(bytes, &parsed)) << bytes;
  }
}

TEST(WireFormatTest, HeaderEndsAtTheFourthLineFeedOrAtTheMaximum) {
  const std::string valid = header("5", "3610A686");  // 56 bytes
  const struct {
    std::string received;
    uint32_t size;  // 0: more bytes are needed
  } cases[] = {
      {"", 0},
      {valid.substr(0, 55), 0},  // the last line feed has not arrived
      {valid, 56},
      {valid + "hello", 56},                    // the body stays behind the header
      {valid + "hello" + valid + "hello", 56},  // and so does the next request
      {header("0000000005", "3610A686"), 65},   // the longest valid header
      {header("00000000005", "3610A686"), 65},  // one digit more: cut at the maximum
      {std::string(64, 'x'), 0},
      {std::string(65, 'x'), 65},
      {std::string(100, 'x'), 65},
      {"\n\n\n\nrest", 4},  // found early; the parser refuses it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(requestHeaderSize(c.received), c.size) << c.received;
  }
}

TEST(WireFormatTest, AnswerFrameCarriesLengthAndChecksum) {
  TextBuffer answer;
  answer.append("123456789");
  frameAnswer(answer, false);
  EXPECT_EQ(answer.toString(),
            "Format: TORV5\r\nContent-Length: 9\r\nChecksum: CBF43926\r\n\r\n123456789");
}

TEST(WireFormatTest, EmptyAndQuietAnswersSayZero) {
  TextBuffer empty;
  frameAnswer(empty, false);
  EXPECT_EQ(empty.toString(), "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 00000000\r\n\r\n");

  TextBuffer quiet;
  quiet.append("OK\r\n");
  frameAnswer(quiet, true);
  EXPECT_EQ(quiet.toString(),
            "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 00000000\r\n\r\nOK\r\n");
}

TEST(WireFormatTest, LongAnswerKeepsItsTextBehindTheHeader) {
  TextBuffer answer;
  std::string text(200000, 'a');
  for (std::size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>(i);
  answer.append(text);
  frameAnswer(answer, false);
  const std::string framed = answer.toString();
  ASSERT_TRUE(framed.starts_with("Format: TORV5\r\nContent-Length: 200000\r\nChecksum: "));
  EXPECT_EQ(framed.substr(framed.size() - text.size()), text);
  EXPECT_EQ(framed.size(), text.size() + 61);  // 55 fixed bytes and 6 digits
}

}  // namespace
}  // namespace dovrel::server
