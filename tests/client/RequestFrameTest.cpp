// Request framing, byte for byte.
#include <gtest/gtest.h>

#include "client/ClientError.h"
#include "client/RequestFrame.h"

namespace dovrel::client {
namespace {

TEST(RequestFrameTest, KnownLengthCarriesLengthAndChecksum) {
  EXPECT_EQ(frameRequest("123456789", RequestMode::KNOWN_LENGTH),
            "Format: TORV5\r\nContent-Length: 9\r\nChecksum: CBF43926\r\n\r\n123456789");
}

TEST(RequestFrameTest, QuietSaysLengthZero) {
  EXPECT_EQ(frameRequest("123456789", RequestMode::QUIET),
            "Format: TORV5\r\nContent-Length: 0\r\nChecksum: CBF43926\r\n\r\n123456789");
  // An empty quiet body is possible; an empty known-length one would read as quiet.
  EXPECT_EQ(frameRequest("", RequestMode::QUIET),
            "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 00000000\r\n\r\n");
  EXPECT_THROW(frameRequest("", RequestMode::KNOWN_LENGTH), ClientError);
}

TEST(RequestFrameTest, QueryStartsWithTheLoginLines) {
  EXPECT_EQ(buildQuery("admin", "", "get users;"), "User: admin\r\nPassword: \r\nget users;");
}

}  // namespace
}  // namespace dovrel::client
