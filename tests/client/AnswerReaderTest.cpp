// Reading status lines and framed answers from scripted bytes, delivered in small pieces so
// that every line and the body cross piece boundaries.
#include <gtest/gtest.h>

#include <vector>

#include "client/AnswerReader.h"
#include "client/ClientError.h"
#include "foundation/Crc32.h"

namespace dovrel::client {
namespace {

class ScriptedSource final : public ByteSource {
 public:
  ScriptedSource(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  std::size_t receive(char* buffer, std::size_t capacity) override {
    const std::size_t count = std::min({capacity, piece_, bytes_.size() - position_});
    bytes_.copy(buffer, count, position_);
    position_ += count;
    return count;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::size_t position_ = 0;
};

std::string framed(std::string_view text) {
  char head[80];
  std::snprintf(head, sizeof head, "Format: TORV5\r\nContent-Length: %zu\r\nChecksum: %08X\r\n\r\n",
                text.size(), crc32(text.data(), text.size()));
  return head + std::string(text);
}

const std::string QUIET_HEAD = "Format: TORV5\r\nContent-Length: 0\r\nChecksum: 00000000\r\n\r\n";

TEST(AnswerReaderTest, ReportsStatusLinesThenReadsConsecutiveAnswers) {
  for (std::size_t piece : {1u, 7u, 65536u}) {
    ScriptedSource source(
        "In queue\r\nRunning\r\n" + framed("OK\r\nfirst") + "Ready\r\n" + framed("ERROR\r\nsecond"),
        piece);
    AnswerReader reader(source);
    std::vector<std::string> statuses;
    const auto record = [&](std::string_view status) { statuses.emplace_back(status); };
    const Answer first = reader.read(RequestMode::KNOWN_LENGTH, record);
    EXPECT_EQ(first.text, "OK\r\nfirst");
    EXPECT_TRUE(first.isOk());
    const Answer second = reader.read(RequestMode::KNOWN_LENGTH, record);
    EXPECT_TRUE(second.isError());
    EXPECT_EQ(statuses, (std::vector<std::string>{"In queue", "Running", "Ready"}));
  }
}

TEST(AnswerReaderTest, QuietAnswerRunsToTheEndOfTheStream) {
  ScriptedSource source(QUIET_HEAD + "OK\r\n" + std::string(100000, 'z'), 4096);
  AnswerReader reader(source);
  EXPECT_EQ(reader.read(RequestMode::QUIET, {}).text, "OK\r\n" + std::string(100000, 'z'));
}

TEST(AnswerReaderTest, DamagedOrForeignBytesAreErrors) {
  std::string flipped = framed("OK\r\nabc");
  flipped.back() = 'x';
  const std::string cases[] = {
      flipped,  // checksum mismatch
      "Format: TORV5\r\nContent-Length: 10\r\nChecksum: 00000000\r\n\r\nshort",  // cut short
      "HTTP/1.1 200 OK\r\n",                                                     // not ours
      "Format: TORV5\r\nContent-Length: 1x\r\nChecksum: 00000000\r\n\r\n",
      "Format: TORV5\r\nContent-Length: 1\r\nChecksum: 0000000a\r\n\r\nx",
      std::string(200, 'y'),  // no line end at all
  };
  for (const std::string& bytes : cases) {
    ScriptedSource source(bytes, 5);
    AnswerReader reader(source);
    EXPECT_THROW(reader.read(RequestMode::KNOWN_LENGTH, {}), ClientError) << bytes;
  }
  // A quiet request must get the zero frame.
  ScriptedSource source(framed("OK\r\n"), 100);
  AnswerReader reader(source);
  EXPECT_THROW(reader.read(RequestMode::QUIET, {}), ClientError);
}

TEST(AnswerReaderTest, TellsAnEndBeforeAnyAnswerFromOneInsideIt) {
  const struct {
    std::string bytes;
    bool beforeAnswer;
  } cases[] = {{"", true}, {"Running\r\n", true}, {"Format: TORV5\r\n", false}};
  for (const auto& c : cases) {
    ScriptedSource source(c.bytes, 3);
    AnswerReader reader(source);
    try {
      reader.read(RequestMode::KNOWN_LENGTH, {});
      ADD_FAILURE() << "no error for " << c.bytes;
    } catch (const ClientError& error) {
      EXPECT_EQ(error.closedBeforeAnswer(), c.beforeAnswer) << c.bytes;
    }
  }
}

}  // namespace
}  // namespace dovrel::client
