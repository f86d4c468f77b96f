// Tests of CRC-32: published check values, the table routine against the bytewise
// reference at every alignment and length class, and each carry-less routine against the
// table routine.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
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

// Each carry-less routine this CPU has gives the table routine's value at every length up
// to 4096 and every start alignment within a cache line, from a running value that is not
// the usual start; and never reads past the end (each length also ends a heap block of
// exactly that size, where the sanitizer sees an overrun).
TEST_F(Crc32RandomTest, CarryLessRoutinesMatchTheTableEverywhere) {
  ASSERT_TRUE(crc32RoutineAvailable(Crc32Routine::TABLE));
  EXPECT_EQ(crc32UpdateTable(0xFFFFFFFFu, data_.data(), 1 << 20),
            crc32UpdateBytewise(0xFFFFFFFFu, data_.data(), 1 << 20));
  for (Crc32Routine routine : {Crc32Routine::CLMUL, Crc32Routine::VCLMUL}) {
    SCOPED_TRACE(crc32RoutineName(routine));
    if (!crc32RoutineAvailable(routine)) {
      std::cout << crc32RoutineName(routine) << ": not on this CPU, skipped\n";
      continue;
    }
    uint32_t running = 0x9E3779B9u;
    for (std::size_t align = 0; align < 64; ++align) {
      for (std::size_t length = 0; length <= 4096; ++length) {
        const unsigned char* p = data_.data() + align + (length * 7919) % 4096;
        running = running * 2654435761u + 1;
        ASSERT_EQ(crc32UpdateWith(routine, running, p, length),
                  crc32UpdateTable(running, p, length))
            << "alignment " << align << " length " << length;
      }
    }
    for (std::size_t length = 0; length <= 4096; ++length) {
      std::unique_ptr<unsigned char[]> exact(new unsigned char[length]);
      std::copy(data_.begin(), data_.begin() + length, exact.get());
      ASSERT_EQ(crc32UpdateWith(routine, 0xFFFFFFFFu, exact.get(), length),
                crc32UpdateTable(0xFFFFFFFFu, exact.get(), length))
          << "length " << length;
    }
    EXPECT_EQ(crc32UpdateWith(routine, 0xFFFFFFFFu, data_.data() + 1, 1 << 20),
              crc32UpdateTable(0xFFFFFFFFu, data_.data() + 1, 1 << 20));
  }
  std::cout << "crc32Update uses " << crc32RoutineName(crc32ChosenRoutine()) << "\n";
}
