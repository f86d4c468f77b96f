// dovrel-client against the real server: one-off commands, scripts on standard input,
// raw output, quiet mode and a server that is not there.
#include <gtest/gtest.h>

#include <fstream>

#include "E2ETest.h"

namespace dovrel::e2e {
namespace {

const std::string STAND_IN_TEXT = "ERROR\nзапрос не выполнен: разборщик запросов не подключён\n";

class ClientE2ETest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(instance_->start());
  }
  ProgramRun client(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.begin(), {"-p", std::to_string(instance_->port()), "-u", "admin"});
    return instance_->runClient(arguments, input, {{"DOVREL_PASSWORD", "secret"}});
  }
};

TEST_F(ClientE2ETest, ErrorAnswerIsPrintedInUtf8AndExitsOne) {
  const ProgramRun run = client({"-c", "get users;"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, STAND_IN_TEXT);
  EXPECT_EQ(run.errors, "");  // progress goes to a terminal only
}

TEST_F(ClientE2ETest, ScriptCommandsAreSentInOrderOnOneConnection) {
  const ProgramRun run = client({}, "get users;\n\nselect from t\nwhere t.a.w = 1;\n\n\ncommit;");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, STAND_IN_TEXT + STAND_IN_TEXT + STAND_IN_TEXT);

  std::ofstream(instance_->directory() + "script.txt") << "get users;\r\n\r\ncommit;\r\n";
  const ProgramRun fromFile = client({"-f", instance_->directory() + "script.txt", "-c", "x"});
  EXPECT_EQ(fromFile.output, STAND_IN_TEXT + STAND_IN_TEXT + STAND_IN_TEXT);
}

TEST_F(ClientE2ETest, RawKeepsTheServersBytesAndQuietModeWorks) {
  const ProgramRun raw = client({"--raw", "--quiet-mode", "-c", "get users;"});
  EXPECT_EQ(raw.status, 1);
  ASSERT_TRUE(raw.output.starts_with("ERROR\r\n"));
  EXPECT_EQ(raw.output.substr(7, 6), "\xA7\xA0\xAF\xE0\xAE\xE1");  // "запрос" in code page 866
}

TEST_F(ClientE2ETest, MissingServerIsALostConnection) {
  instance_->stop();
  const ProgramRun run = client({"-c", "get users;"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_NE(run.errors.find("cannot connect"), std::string::npos) << run.errors;
}

}  // namespace
}  // namespace dovrel::e2e
