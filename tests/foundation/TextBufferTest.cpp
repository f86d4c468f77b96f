// Tests of TextBuffer: growth, the number and counted-string writers, aliasing appends,
// and the fatal checks of the hex writers.
#include <gtest/gtest.h>

#include <new>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"
#include "support/Files.h"
#include "support/TempDir.h"

using namespace dovrel;

namespace {

std::string written(void (*write)(TextBuffer&)) {
  TextBuffer b;
  write(b);
  return b.toString();
}

}  // namespace

TEST(TextBufferGrowthTest, CapacityDoublesFrom64AndKeepsTheBytes) {
  TextBuffer b;
  EXPECT_EQ(b.capacity(), 64u);
  EXPECT_EQ(b.length(), 0u);
  std::string expected;
  for (int i = 0; i < 64; ++i) expected.push_back(static_cast<char>('a' + i % 26));
  b.append(expected);
  EXPECT_EQ(b.capacity(), 64u);
  b.appendByte('!');
  expected.push_back('!');
  EXPECT_EQ(b.capacity(), 128u);
  EXPECT_EQ(b.toString(), expected);
  b.resize(128);
  EXPECT_EQ(b.capacity(), 128u);
  b.resize(129);
  EXPECT_EQ(b.capacity(), 256u);
  EXPECT_EQ(b.stringView().substr(0, 65), expected);
  // One step of many doublings.
  b.resize(5000);
  EXPECT_EQ(b.capacity(), 8192u);
  // Shrinking keeps the block.
  b.resize(3);
  EXPECT_EQ(b.capacity(), 8192u);
  EXPECT_EQ(b.toString(), "abc");
}

TEST(TextBufferGrowthTest, LengthsPastTheLargestCapacityAreRefusedNotAsserted) {
  TextBuffer b;
  b.append("keep");
  EXPECT_THROW(b.resize((uint64_t{1} << 31) + 1), std::bad_alloc);
  EXPECT_THROW(b.append("x", uint64_t{1} << 32), std::bad_alloc);
  EXPECT_EQ(b.toString(), "keep");  // a refused growth leaves the buffer as it was
  EXPECT_EQ(b.capacity(), 64u);
}

TEST(TextBufferGrowthTest, MovedFromBufferIsEmptyAndUsable) {
  TextBuffer a;
  a.append("payload");
  TextBuffer b(std::move(a));
  EXPECT_EQ(b.toString(), "payload");
  EXPECT_EQ(a.length(), 0u);
  a.append("again");
  EXPECT_EQ(a.toString(), "again");
  EXPECT_EQ(a.capacity(), 64u);
  a = std::move(b);
  EXPECT_EQ(a.toString(), "payload");
  b.appendDecimal(12);
  EXPECT_EQ(b.toString(), "12");
}

TEST(TextBufferAppendTest, AllAppendFormsAndInsertFront) {
  TextBuffer b;
  b.append("ab");
  b.append(std::string("cd"));
  b.append(std::string_view("ef"));
  b.append(TextView("gh"));
  b.append("ij\0kl", 5);
  b.appendByte('\0');
  EXPECT_EQ(b.stringView(), std::string_view("abcdefghij\0kl\0", 14));
  // An answer header goes in front of a text that has to grow for it.
  TextBuffer answer;
  std::string body(60, 'x');
  answer.append(body);
  answer.insertFront("Format: TORV5\r\n", 15);
  EXPECT_EQ(answer.toString(), "Format: TORV5\r\n" + body);
  EXPECT_EQ(answer.capacity(), 128u);
}

TEST(TextBufferAppendTest, AppendingItsOwnBytesWhileGrowing) {
  TextBuffer b;
  b.append(std::string(40, 'a'));
  b.append(b.pointer(), b.length());  // grows to 80: the source block is released meanwhile
  EXPECT_EQ(b.toString(), std::string(80, 'a'));
  TextBuffer c;
  c.append(std::string(50, 'b') + "tail");
  c.appendCounted(c.view().tail(4));
  EXPECT_EQ(c.toString(), std::string(50, 'b') + "tail#4#tail#");
  TextBuffer d;
  d.append(std::string(62, 'c') + "HD");
  d.insertFront(d.pointer() + 62, 2);
  EXPECT_EQ(d.toString(), "HD" + std::string(62, 'c') + "HD");
}

TEST(TextBufferNumberTest, DecimalDigitsAndStrings) {
  EXPECT_EQ(written([](TextBuffer& b) { b.appendDecimal(0); }), "0");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendDecimal(10); }), "10");
  EXPECT_EQ(written([](TextBuffer& b) {
              b.append("n=");
              b.appendDecimal(4294967295u);
            }),
            "n=4294967295");
  EXPECT_EQ(toDecimalString(0), "0");
  EXPECT_EQ(toDecimalString(1000), "1000");
  EXPECT_EQ(toDecimalString(4294967295u), "4294967295");
  const std::pair<uint32_t, int> digits[] = {{0, 1},           {9, 1},           {10, 2},
                                             {99, 2},          {100, 3},         {999999999, 9},
                                             {1000000000, 10}, {4294967295u, 10}};
  for (auto [value, n] : digits) EXPECT_EQ(decimalDigits(value), n) << value;
}

TEST(TextBufferNumberTest, HexDigitsAreUpperCaseAndZeroPadded) {
  EXPECT_EQ(written([](TextBuffer& b) {
              for (uint32_t v = 0; v < 16; ++v) b.appendHexDigit(v);
            }),
            "0123456789ABCDEF");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendHex(0x1F, 2); }), "1F");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendHex(0, 8); }), "00000000");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendHex(0xCBF43926u, 8); }), "CBF43926");
  // The answer checksum is written as 7 digits of the high part and one of the low nibble.
  EXPECT_EQ(written([](TextBuffer& b) {
              uint32_t crc = 0x0A1B2C3Du;
              b.appendHex(crc >> 4, 7);
              b.appendHex(crc & 0xF, 1);
            }),
            "0A1B2C3D");
}

TEST(TextBufferCountedTest, CountedForms) {
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCounted(TextView()); }), "#0##");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCounted(std::string_view("none")); }), "#4#none#");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCounted(std::string_view("a#b#\r\n")); }),
            "#6#a#b#\r\n#");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCountedNumber(25); }), "#2#25#");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCountedNumber(0); }), "#1#0#");
  EXPECT_EQ(written([](TextBuffer& b) { b.appendCountedNumber(4294967295u); }), "#10#4294967295#");
  const unsigned char key[] = {3, 'k', 'e', 'y', 'X'};  // the byte after the length is not read
  const unsigned char none[] = {0, 'X'};
  TextBuffer b;
  b.appendCountedPascal(key);
  b.appendCountedPascal(none);
  EXPECT_EQ(b.toString(), "#3#key##0##");
  // A long content crosses several doublings in one counted write.
  std::string big(300, 'z');
  TextBuffer c;
  c.appendCounted(std::string_view(big));
  EXPECT_EQ(c.toString(), "#300#" + big + "#");
}

TEST(TextBufferReverseTest, ReversesTheTailInPlace) {
  TextBuffer b;
  b.append("keep12345");
  b.reverse(4);
  EXPECT_EQ(b.toString(), "keep54321");
  b.reverse(8);  // one byte
  EXPECT_EQ(b.toString(), "keep54321");
  // An empty tail is left alone rather than treated as a broken invariant.
  b.reverse(9);
  EXPECT_EQ(b.toString(), "keep54321");
  TextBuffer empty;
  empty.reverse(0);
  EXPECT_EQ(empty.length(), 0u);
}

class TextBufferFatalTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  std::string critical_ = dir_.file("critical.txt");
};

TEST_F(TextBufferFatalTest, HexValueTooWideForItsDigitsStopsWithARecord) {
  EXPECT_EXIT(
      {
        setCriticalFilePath(critical_);
        TextBuffer b;
        b.appendHex(0x100, 2);
      },
      ::testing::ExitedWithCode(3), "");
  std::string record = testsupport::readFile(critical_);
  EXPECT_EQ(record.rfind("Assertion failed: value == 0\nfile ", 0), 0u) << record;
  EXPECT_NE(record.find("TextBuffer.cpp line "), std::string::npos) << record;
  EXPECT_NE(record.back(), '\n');
}

TEST_F(TextBufferFatalTest, HexDigitAboveFifteenStops) {
  EXPECT_EXIT(
      {
        setCriticalFilePath(critical_);
        TextBuffer b;
        b.appendHexDigit(16);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(
      testsupport::readFile(critical_).rfind("Assertion failed: 10 <= value && value <= 15\n", 0),
      0u);
}

TEST_F(TextBufferFatalTest, ReversePastTheEndStops) {
  EXPECT_EXIT(
      {
        setCriticalFilePath(critical_);
        TextBuffer b;
        b.append("ab");
        b.reverse(3);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(
      testsupport::readFile(critical_).rfind("Assertion failed: 0 <= from && from <= len\n", 0),
      0u);
}
