// The cluster's bytes, its validation on reading and its navigation.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "foundation/Crc32.h"
#include "index/Cluster.h"
#include "index/EngineCalls.h"
#include "index/IndexTestSupport.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;
using test::text;

constexpr uint32_t L = 65536;
constexpr uint32_t LAST_SLOT = L - 4;

std::unique_ptr<Cluster> makeCluster() {
  ErrorCode error = EM_NO_ERRORS;
  auto cluster = test::makeCluster(L, error);
  EXPECT_EQ(error, EM_NO_ERRORS);
  return cluster;
}

uint32_t u32At(const Cluster& c, std::size_t offset) { return loadU32(c.bytes() + offset); }

// Puts a correct checksum on bytes changed behind the cluster's back.
void reseal(Cluster& c) {
  storeU32(c.bytesToOverwrite() + CLUSTER_CHECKSUM_OFFSET, 0);
  storeU32(c.bytesToOverwrite() + CLUSTER_CHECKSUM_OFFSET, crc32(c.bytes(), L));
}

// Validates a copy of `from`'s bytes, as a read would.
ErrorCode validateCopy(const Cluster& from, Cluster& into) {
  std::memcpy(into.bytesToOverwrite(), from.bytes(), L);
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, into.validate());
  return error;
}

// Reads the current key's values up to its end.
std::vector<uint32_t> values(Cluster& c) {
  std::vector<uint32_t> out;
  bool end = false;
  for (uint32_t v = c.nextValue(end); !end; v = c.nextValue(end)) out.push_back(v);
  return out;
}

// clear() zeroes only what was written since the last clear, so whatever a cluster held
// before — more keys, or bytes read from a file with junk in its free space — a cleared
// and refilled cluster holds exactly the bytes of a fresh one.
TEST(ClusterLayoutTest, ClearedClusterIsAsFreshWhateverItHeld) {
  const auto fill = [](Cluster& c, int keys) {
    for (int i = 0; i < keys; ++i)
      c.addKey(K(key("key" + std::to_string(1000 + i))), i | KEY_MARKER);
    c.seal();
  };
  auto fresh = makeCluster();
  fill(*fresh, 3);
  auto reused = makeCluster();
  fill(*reused, 2000);
  reused->clear();
  fill(*reused, 3);
  EXPECT_EQ(std::memcmp(reused->bytes(), fresh->bytes(), L), 0);
  // Junk in the free space of validated bytes (only the checksum covers it).
  auto read = makeCluster();
  fill(*read, 3);
  read->bytesToOverwrite()[L / 2] = 0x55;
  reseal(*read);
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, read->validate());
  ASSERT_EQ(error, EM_NO_ERRORS);
  read->clear();
  fill(*read, 3);
  EXPECT_EQ(std::memcmp(read->bytes(), fresh->bytes(), L), 0);
}

TEST(ClusterLayoutTest, OneEmptyKeyWithOneValueValidates) {
  auto c = makeCluster();
  c->addKey(K(key("")), 5 | KEY_MARKER);
  c->seal();
  EXPECT_EQ(u32At(*c, CLUSTER_KEY_END_OFFSET), 18u);
  EXPECT_EQ(u32At(*c, CLUSTER_DATA_END_OFFSET), L / 4 - 2);
  EXPECT_EQ(u32At(*c, CLUSTER_RESERVED_OFFSET), 0u);
  EXPECT_EQ(u32At(*c, LAST_SLOT), 0x80000005u);
  // The stored checksum is the plain CRC-32 of the cluster with that field zeroed.
  std::string copy(reinterpret_cast<const char*>(c->bytes()), L);
  std::memset(copy.data() + CLUSTER_CHECKSUM_OFFSET, 0, 4);
  EXPECT_EQ(u32At(*c, CLUSTER_CHECKSUM_OFFSET), crc32(copy.data(), L));

  auto read = makeCluster();
  ASSERT_EQ(validateCopy(*c, *read), EM_NO_ERRORS);
  EXPECT_EQ(text(read->currentKey()), "");
  EXPECT_EQ(values(*read), std::vector<uint32_t>{0x80000005u});
  EXPECT_FALSE(read->nextKey());
}

TEST(ClusterLayoutTest, KeysGrowUpAndValuesGrowDownFromTheLastSlot) {
  auto c = makeCluster();
  c->addKey(K(key("aa")), 1 | KEY_MARKER);
  c->addValue(3);
  c->addKey(K(key("b")), 2 | KEY_MARKER);
  c->seal();
  const uint8_t expectedKeys[] = {2, 'a', 'a', 2, 1, 'b', 1};
  EXPECT_EQ(std::memcmp(c->bytes() + 16, expectedKeys, sizeof expectedKeys), 0);
  EXPECT_EQ(u32At(*c, CLUSTER_KEY_END_OFFSET), 16u + sizeof expectedKeys);
  EXPECT_EQ(u32At(*c, LAST_SLOT), 0x80000001u);
  EXPECT_EQ(u32At(*c, LAST_SLOT - 4), 3u);
  EXPECT_EQ(u32At(*c, LAST_SLOT - 8), 0x80000002u);
  EXPECT_EQ(u32At(*c, CLUSTER_DATA_END_OFFSET), L / 4 - 4);
  EXPECT_EQ(u32At(*c, LAST_SLOT - 12), 0u);  // free space stays zero
}

class ClusterValidationTest : public testing::Test {
 protected:
  void SetUp() override {
    written_ = makeCluster();
    read_ = makeCluster();
    written_->addKey(K(key("aa")), 1 | KEY_MARKER);
    written_->addValue(3);
    written_->addValue(5);
    written_->addKey(K(key("abc")), 7 | KEY_MARKER);
    written_->addKey(K(key("b")), 9 | KEY_MARKER);
    written_->addValue(11);
    written_->seal();
  }
  std::unique_ptr<Cluster> written_, read_;
};

TEST_F(ClusterValidationTest, AnyFlippedByteIsBadData) {
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < 64; ++i) offsets.push_back(i);            // header and keys
  for (std::size_t i = 64; i < L - 32; i += 509) offsets.push_back(i);  // free space
  for (std::size_t i = L - 32; i < L; ++i) offsets.push_back(i);        // values
  for (std::size_t offset : offsets) {
    for (uint8_t flip : {0x01, 0x80}) {
      std::memcpy(read_->bytesToOverwrite(), written_->bytes(), L);
      read_->bytesToOverwrite()[offset] ^= flip;
      ErrorCode error = EM_NO_ERRORS;
      test::keep(error, read_->validate());
      ASSERT_EQ(error, EM_BAD_DATA) << "offset " << offset;
      EXPECT_TRUE(read_->isEmpty());
    }
  }
  EXPECT_EQ(validateCopy(*written_, *read_), EM_NO_ERRORS);
}

TEST_F(ClusterValidationTest, StructuralDamageUnderAValidChecksumIsBadData) {
  const uint32_t dataEnd = L / 4 - 7;  // six values written
  struct Case {
    const char* what;
    std::function<void(uint8_t*)> damage;
  } cases[] = {
      {"key end at the header", [](uint8_t* b) { storeU32(b, 16); }},
      {"key end at the cluster end", [](uint8_t* b) { storeU32(b, L); }},
      {"key end above the data end slot", [](uint8_t* b) { storeU32(b + 4, 6); }},
      {"data end index 4", [](uint8_t* b) { storeU32(b + 4, 4); }},
      {"no value at all", [](uint8_t* b) { storeU32(b + 4, L / 4 - 1); }},
      {"data end past the cluster", [](uint8_t* b) { storeU32(b + 4, L / 4); }},
      {"value equal to the one above", [](uint8_t* b) { storeU32(b + LAST_SLOT - 4, 1); }},
      {"value below the one above", [](uint8_t* b) { storeU32(b + LAST_SLOT - 8, 2); }},
      {"a marker too many", [](uint8_t* b) { storeU32(b + LAST_SLOT - 20, 11 | KEY_MARKER); }},
      {"a marker too few", [](uint8_t* b) { storeU32(b + LAST_SLOT - 12, 7); }},
      {"trailing length differs", [](uint8_t* b) { b[16 + 8] = 2; }},
      {"data end one slot too low", [=](uint8_t* b) { storeU32(b + 4, dataEnd - 1); }},
  };
  ASSERT_EQ(u32At(*written_, CLUSTER_DATA_END_OFFSET), dataEnd);
  for (const Case& c : cases) {
    std::memcpy(read_->bytesToOverwrite(), written_->bytes(), L);
    c.damage(read_->bytesToOverwrite());
    reseal(*read_);
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, read_->validate());
    EXPECT_EQ(error, EM_BAD_DATA) << c.what;
  }
}

// Regression: the writer may fill a cluster until the key end meets the data end slot; such
// a cluster must read back.
TEST_F(ClusterValidationTest, ClusterFilledToTheLastByteReadsBack) {
  auto full = makeCluster();
  uint32_t n = 0;
  std::vector<std::string> keys;
  while (full->freeBytes() >= 4 + 6 + 400) {
    keys.push_back(key(std::string{char('a' + n / 26 / 26 % 26), char('a' + n / 26 % 26)}));
    full->addKey(K(keys.back()), n++ | KEY_MARKER);
  }
  while (full->freeBytes() >= 4) full->addValue(n++);
  ASSERT_EQ(full->freeBytes(), 0u);
  full->seal();
  ASSERT_EQ(validateCopy(*full, *read_), EM_NO_ERRORS);
  read_->last();
  EXPECT_EQ(text(read_->currentKey()), text(K(keys.back())));
  std::vector<uint32_t> tail = values(*read_);
  EXPECT_EQ(tail.back(), n - 1);
}

class ClusterNavigationTest : public ClusterValidationTest {
 protected:
  void SetUp() override {
    ClusterValidationTest::SetUp();
    ASSERT_EQ(validateCopy(*written_, *read_), EM_NO_ERRORS);
  }
};

TEST_F(ClusterNavigationTest, ForwardAndBackwardStepsLandOnFirstValues) {
  Cluster& c = *read_;
  EXPECT_EQ(values(c), (std::vector<uint32_t>{1 | KEY_MARKER, 3, 5}));
  ASSERT_TRUE(c.nextKey());
  EXPECT_EQ(text(c.currentKey()), "abc");
  ASSERT_TRUE(c.nextKey());  // without reading any value of «abc»
  bool end = false;
  EXPECT_EQ(c.peekValue(end), 9 | KEY_MARKER);
  EXPECT_EQ(c.nextValue(end), 9 | KEY_MARKER);
  EXPECT_FALSE(c.nextKey());
  EXPECT_TRUE(c.atKeyEnd());

  c.last();
  EXPECT_EQ(text(c.currentKey()), "b");
  c.nextValue(end);  // part of «b» read: prevKey still lands on the marker of «abc»
  ASSERT_TRUE(c.prevKey());
  EXPECT_EQ(values(c), std::vector<uint32_t>{7 | KEY_MARKER});
  ASSERT_TRUE(c.prevKey());
  EXPECT_EQ(c.takeValue(), 1 | KEY_MARKER);
  ASSERT_TRUE(c.nextKey());  // mid-key: the rest of «aa» is skipped
  EXPECT_EQ(text(c.currentKey()), "abc");
  ASSERT_TRUE(c.prevKey());
  EXPECT_FALSE(c.prevKey());
  EXPECT_EQ(text(c.currentKey()), "aa");
}

TEST_F(ClusterNavigationTest, FindStopsAtTheFirstKeyNotSmaller) {
  Cluster& c = *read_;
  EXPECT_EQ(c.find(K(key("ab"))), SEARCH_EXTENDS);
  EXPECT_EQ(text(c.currentKey()), "abc");
  EXPECT_EQ(values(c), std::vector<uint32_t>{7 | KEY_MARKER});
  EXPECT_EQ(c.find(K(key("ac"))), SEARCH_GREATER);
  EXPECT_EQ(values(c), (std::vector<uint32_t>{9 | KEY_MARKER, 11}));
  EXPECT_EQ(c.find(K(key("aa"))), SEARCH_EQUAL);
  EXPECT_EQ(c.find(K(key(""))), SEARCH_EXTENDS);
  EXPECT_EQ(text(c.currentKey()), "aa");
  EXPECT_EQ(c.find(K(key("c"))), SEARCH_SMALLER);
  EXPECT_TRUE(c.atKeyEnd());
  ASSERT_TRUE(c.prevKey());  // from the key end back to the last key
  EXPECT_EQ(text(c.currentKey()), "b");
}

TEST_F(ClusterNavigationTest, ContinuedFirstKeyIsReadLikeAnyOther) {
  auto c = makeCluster();
  c->addKey(K(key("aa")), 4);  // continues the previous cluster's last key
  c->addValue(6);
  c->addKey(K(key("b")), 1 | KEY_MARKER);
  c->seal();
  ASSERT_EQ(validateCopy(*c, *read_), EM_NO_ERRORS);
  EXPECT_FALSE(read_->firstKeyStartsHere());
  EXPECT_EQ(values(*read_), (std::vector<uint32_t>{4, 6}));
  read_->last();
  ASSERT_TRUE(read_->prevKey());
  EXPECT_EQ(values(*read_), (std::vector<uint32_t>{4, 6}));
  EXPECT_TRUE(written_->firstKeyStartsHere());
}

TEST_F(ClusterNavigationTest, RecordedPositionsRestoreInAFreshRead) {
  // Every (key, values read) position of the cluster, replayed on a second copy.
  auto other = makeCluster();
  Cluster& c = *read_;
  c.first();
  do {
    for (;;) {
      ASSERT_EQ(validateCopy(*written_, *other), EM_NO_ERRORS);
      ASSERT_TRUE(other->restorePosition(c.currentKeyOffset(), c.currentSlotDistance()));
      EXPECT_EQ(text(other->currentKey()), text(c.currentKey()));
      bool endC = false, endO = false;
      uint32_t expected = c.peekValue(endC);
      uint32_t restored = other->peekValue(endO);
      EXPECT_EQ(endO, endC);
      if (endC) break;
      EXPECT_EQ(restored, expected);
      c.nextValue(endC);
    }
  } while (c.nextKey());
  // Numbers that name no position are refused.
  ASSERT_EQ(validateCopy(*written_, *other), EM_NO_ERRORS);
  EXPECT_FALSE(other->restorePosition(1, 0));   // inside the first key
  EXPECT_FALSE(other->restorePosition(13, 0));  // the key end
  EXPECT_FALSE(other->restorePosition(0, 4));   // a slot of «abc»
  EXPECT_FALSE(other->restorePosition(4, 0));   // «abc» with a slot of «aa»
  EXPECT_TRUE(other->restorePosition(4, 3));    // «abc» before its value
}

TEST(ClusterDeathTest, MisuseIsFatal) {
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_FATAL(test::makeCluster(3 * INDEX_BUFFER_SIZE, error), "t == 1");
  EXPECT_FATAL(test::makeCluster(INDEX_BUFFER_SIZE / 2, error),
               "clusterLength % INDEX_BUFFER_SIZE == 0");
  auto c = makeCluster();
  std::string big = key(std::string(255, 'k'));
  EXPECT_FATAL(
      {
        for (uint32_t i = 0; i < L; ++i) c->addKey(K(big), i | KEY_MARKER);
      },
      "keyEnd <= (byte*)dataEnd");
  c->addKey(K(key("x")), KEY_MARKER);
  c->first();
  EXPECT_EQ(c->takeValue(), KEY_MARKER);
  EXPECT_FATAL(c->takeValue(), "!end");
  EXPECT_FALSE(c->nextKey());
  EXPECT_FATAL(c->nextKey(), "currentKey != keyEnd");
}

}  // namespace
}  // namespace dovrel::index
