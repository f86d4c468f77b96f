// Tests of the fatal stop: the exact record on standard output and in the critical file,
// records running on without line feeds, and exit status 3.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "foundation/Assert.h"
#include "support/Files.h"
#include "support/TempDir.h"

using namespace dovrel;

namespace {

struct Stopped {
  int status = -1;
  std::string output;  // what the child wrote to standard output
};

// Runs assertFailed in a child whose standard output goes to a file.
Stopped stopInChild(const std::string& critical, const std::string& output, int line) {
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen(output.c_str(), "w", stdout)) ::_exit(99);
    setCriticalFilePath(critical);
    assertFailed("src/x/Widget.cpp", "count > 0", line);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  Stopped result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.output = testsupport::readFile(output);
  return result;
}

}  // namespace

TEST(AssertTest, RecordOnConsoleAndInTheCriticalFileAndStatusThree) {
  testsupport::TempDir dir;
  std::string critical = dir.file("critical.txt");
  Stopped first = stopInChild(critical, dir.file("out1"), 12);
  EXPECT_EQ(first.status, 3);
  EXPECT_EQ(first.output, "Assertion failed: count > 0\nfile src/x/Widget.cpp line 12");
  EXPECT_EQ(testsupport::readFile(critical), first.output);
  // A second stop appends, and the two records run on.
  Stopped second = stopInChild(critical, dir.file("out2"), 345);
  EXPECT_EQ(second.status, 3);
  EXPECT_EQ(testsupport::readFile(critical),
            "Assertion failed: count > 0\nfile src/x/Widget.cpp line 12"
            "Assertion failed: count > 0\nfile src/x/Widget.cpp line 345");
}

TEST(AssertTest, MissingCriticalDirectoryStillStops) {
  testsupport::TempDir dir;
  Stopped s = stopInChild(dir.file("no/such/dir/critical.txt"), dir.file("out"), 1);
  EXPECT_EQ(s.status, 3);
  EXPECT_EQ(s.output, "Assertion failed: count > 0\nfile src/x/Widget.cpp line 1");
}

TEST(AssertTest, MacroRecordsTheExpressionAsWritten) {
  testsupport::TempDir dir;
  std::string critical = dir.file("critical.txt");
  int pages = 2;
  EXPECT_EXIT(
      {
        setCriticalFilePath(critical);
        DOVREL_ASSERT(pages % 2 == 1);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(testsupport::readFile(critical).rfind("Assertion failed: pages % 2 == 1\nfile ", 0),
            0u);
  EXPECT_EXIT(
      {
        setCriticalFilePath(critical);
        DOVREL_ASSERT_TEXT(pages < 0, "pages >= 0 never holds");
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_NE(testsupport::readFile(critical).find("Assertion failed: pages >= 0 never holds\nfile "),
            std::string::npos);
  DOVREL_ASSERT(pages == 2);  // a holding condition does nothing
}
