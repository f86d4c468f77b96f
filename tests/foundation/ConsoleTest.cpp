// Tests of the console: code page 866 shown as UTF-8 on standard output, the test sink,
// and whole messages from several threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/Console.h"
#include "foundation/Cp866.h"

using namespace dovrel;

TEST(ConsoleTest, PrintsCodePage866AsUtf8WithoutAddingALineFeed) {
  ::testing::internal::CaptureStdout();
  consolePrint("работа завершена, сохраняемся\n"_cp866);
  consolePrint("Ошибка чтения заголовка 104"_cp866);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "работа завершена, сохраняемся\nОшибка чтения заголовка 104");
}

TEST(ConsoleTest, SinkCapturesTheBytesUntilRemoved) {
  std::vector<std::string> seen;
  setConsoleSink([&](std::string_view m) { seen.emplace_back(m); });
  consolePrint("Некорректный заголовок\n"_cp866);
  setConsoleSink({});
  ::testing::internal::CaptureStdout();
  consolePrint("x");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "x");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "Некорректный заголовок\n"_cp866);  // still code page 866
}

TEST(ConsoleTest, MessagesFromSeveralThreadsAreNeverInterleaved) {
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  const std::string lines[] = {std::string(3000, 'a') + "\n", std::string(3000, 'b') + "\n",
                               std::string(3000, '\xE0') + "\n"};  // "р" takes two bytes
  for (const auto& line : lines) {
    threads.emplace_back([&line] {
      for (int i = 0; i < 50; ++i) consolePrint(line);
    });
  }
  for (auto& t : threads) t.join();
  std::string out = ::testing::internal::GetCapturedStdout();
  std::size_t count = 0, at = 0;
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = out.substr(at, end - at);
    bool whole = line == std::string(3000, 'a') || line == std::string(3000, 'b') ||
                 line == cp866ToUtf8(std::string(3000, '\xE0'));
    ASSERT_TRUE(whole) << "line " << count;
    ++count;
    at = end + 1;
  }
  EXPECT_EQ(count, 150u);
}
