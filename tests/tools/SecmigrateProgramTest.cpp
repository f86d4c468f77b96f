// The built secmigrate program, run in a scratch working directory: its exit status and
// what it prints on the terminal (UTF-8).
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tools/MigrationTestSupport.h"

namespace dovrel::secmigrate {
namespace {

using testing::WorkDir;

class SecmigrateProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binDir = std::getenv("DOVREL_BIN_DIR");
    if (binDir == nullptr || *binDir == 0) GTEST_SKIP() << "DOVREL_BIN_DIR is not set";
    program = std::string(binDir) + "/secmigrate";
  }

  // Runs the program in the work directory; returns its exit status (-1 when it did not
  // exit normally) and keeps what it printed.
  int run() {
    const std::string command = "cd '" + work.path() + "' && '" + program + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    output.clear();
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  WorkDir work;
  std::string program;
  std::string output;
};

TEST_F(SecmigrateProgramTest, CleanRunPrintsNothingAndExitsWithZero) {
  work.write("users.txt", "User: root\r\nPassword: p\r\nLevel: 4\r\n");
  work.addTables("DATA", {"books"});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(output, "");
  const std::string file = work.read("security.txt");
  EXPECT_EQ(file.rfind("security {\r\n   user root alias #4#root# kind admin", 0), 0u) << file;
  EXPECT_NE(file.find("   table books owner root {\r\n"), std::string::npos);
}

TEST_F(SecmigrateProgramTest, ErrorsPrintTheirMessageInUtf8AndExitWithOne) {
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(output, "Не удалось открыть файл users.txt для чтения");

  work.write("security.txt", "earlier");
  work.write("users.txt", "User: a\nPassword: b\nLevel: 5\n");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(output, "Неожиданное значение уровня");
  EXPECT_EQ(work.read("security.txt"), "earlier");
  EXPECT_FALSE(work.exists("security.txt.tmp"));
}

}  // namespace
}  // namespace dovrel::secmigrate
