// Whirlpool against the published vectors, and the salted, iterated password hash built on
// it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "principals/PasswordHash.h"

namespace dovrel {
namespace {

std::string hex(const WhirlpoolDigest& digest) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : digest) {
    text += digits[b >> 4];
    text += digits[b & 0xF];
  }
  return text;
}

std::string raw(const WhirlpoolDigest& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

TEST(WhirlpoolTest, MatchesTheIsoVectors) {
  EXPECT_EQ(hex(whirlpool("")),
            "19FA61D75522A4669B44E39C1D2E1726C530232130D407F89AFEE0964997F7A7"
            "3E83BE698B288FEBCF88E3E03C4F0757EA8964E59B63D93708B138CC42A66EB3");
  EXPECT_EQ(hex(whirlpool("abc")),
            "4E2448A4C6F486BB16B6562C73B4020BF3043E3A731BCE721AE1B303D97E6D4C"
            "7181EEBDB6C57E277D0E34957114CBD6C797FC9D95D8B582D225292076D4EEF5");
}

class HashPasswordTest : public ::testing::Test {
 protected:
  const std::string salt = "0A1B2C3D";
};

TEST_F(HashPasswordTest, ZeroRoundsIsThePlainDigestOfSaltThenPassword) {
  EXPECT_EQ(hashPassword("secret", 0, salt), hex(whirlpool(salt + "secret")));
  // The salt is hashed as its eight characters, not as a number.
  EXPECT_NE(hashPassword("secret", 0, salt),
            hex(whirlpool(std::string("\x0A\x1B\x2C\x3D") + "secret")));
}

TEST_F(HashPasswordTest, RoundsRehashTheRawDigest) {
  WhirlpoolDigest h = whirlpool(salt + "secret");
  for (int i = 0; i < 256; ++i) h = whirlpool(raw(h));
  EXPECT_EQ(hashPassword("secret", 256, salt), hex(h));
}

TEST_F(HashPasswordTest, EmptyPasswordHashesTheSaltAlone) {
  WhirlpoolDigest h = whirlpool(salt);
  for (int i = 0; i < 256; ++i) h = whirlpool(raw(h));
  EXPECT_EQ(hashPassword("", 256, salt), hex(h));
}

TEST_F(HashPasswordTest, PasswordBytesAreTakenExactly) {
  // No folding, no stop at a zero byte, high bytes as they are.
  EXPECT_NE(hashPassword("Secret", 1, salt), hashPassword("secret", 1, salt));
  EXPECT_NE(hashPassword(std::string("ab\0c", 4), 1, salt), hashPassword("ab", 1, salt));
  EXPECT_EQ(hashPassword("\xAF\xE0", 0, salt), hex(whirlpool(salt + "\xAF\xE0")));
  EXPECT_NE(hashPassword("secret", 1, salt), hashPassword("secret", 1, "0A1B2C3E"));
}

TEST(SaltTest, EightUpperCaseDigitsMostSignificantFirst) {
  EXPECT_EQ(formatSalt(0), "00000000");
  EXPECT_EQ(formatSalt(0xABCDEF), "00ABCDEF");
  EXPECT_EQ(formatSalt(0xFFFFFFFF), "FFFFFFFF");
  EXPECT_EQ(formatSalt(0x12345678), "12345678");
}

TEST(SaltTest, FreshSaltsDiffer) {
  std::set<std::string> salts;
  for (int i = 0; i < 4; ++i) {
    std::string s = makeSalt();
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ(s.find_first_not_of("0123456789ABCDEF"), std::string::npos) << s;
    salts.insert(s);
    hashPassword("x", 16, s);  // time passes between salts, as between two passwords
  }
  EXPECT_EQ(salts.size(), 4u);
}

TEST(HashesEqualTest, OnlyIdenticalTextsMatch) {
  std::string a(128, 'A');
  std::string b = a;
  EXPECT_TRUE(hashesEqual(a, b));
  b[127] = 'B';
  EXPECT_FALSE(hashesEqual(a, b));
  b = a;
  b[0] = 'a';  // the comparison is exact: case matters
  EXPECT_FALSE(hashesEqual(a, b));
  EXPECT_FALSE(hashesEqual(a, a.substr(0, 127)));
  EXPECT_FALSE(hashesEqual(a, a + "A"));
  EXPECT_FALSE(hashesEqual(a, ""));
  EXPECT_TRUE(hashesEqual("", ""));
}

}  // namespace
}  // namespace dovrel
