// Tests of CRC-32: published check values and the fast routine against the bytewise
// reference at every alignment and length class.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Crc32.h"

using namespace dovrel;

namespace {

uint32_t reference(const unsigned char* p, std::size_t n) {
  return ~crc32UpdateBytewise(0xFFFFFFFFu, p, n);
}

}  // namespace

TEST(Crc32Test, PublishedCheckValues) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(reference(reinterpret_cast<const unsigned char*>("123456789"), 9), 0xCBF43926u);
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32(fox.data(), fox.size()), 0x414FA339u);
  std::string zeros(32, '\0');
  EXPECT_EQ(crc32(zeros.data(), zeros.size()), 0x190A55ADu);
}

class Crc32RandomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(20080407);
    data_.resize((1 << 20) + 64);
    for (auto& b : data_) b = static_cast<unsigned char>(rng());
  }
  std::vector<unsigned char> data_;
};

TEST_F(Crc32RandomTest, OneMebibyteMatchesTheReference) {
  EXPECT_EQ(crc32(data_.data(), 1 << 20), reference(data_.data(), 1 << 20));
}

TEST_F(Crc32RandomTest, EveryStartOffsetAndShortLength) {
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= 70; ++length) {
      ASSERT_EQ(crc32(data_.data() + offset, length), reference(data_.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
  for (std::size_t length : {1023u, 4097u, 65535u, 65537u}) {
    EXPECT_EQ(crc32(data_.data() + 3, length), reference(data_.data() + 3, length)) << length;
  }
}

TEST_F(Crc32RandomTest, RunningValueContinuesAcrossPieces) {
  // The protocol checksums a body received in pieces of arbitrary size.
  const std::size_t total = 100000;
  std::mt19937 rng(7);
  uint32_t running = 0xFFFFFFFFu;
  std::size_t at = 0;
  while (at < total) {
    std::size_t piece = std::min<std::size_t>(rng() % 97, total - at);
    running = crc32Update(running, data_.data() + at, piece);
    at += piece;
  }
  EXPECT_EQ(~running, reference(data_.data(), total));
}
