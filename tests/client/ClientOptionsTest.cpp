// dovrel-client's command line, the cutting of input into commands and the reports on
// scripts.
#include <gtest/gtest.h>

#include "client/ClientError.h"
#include "client/ClientOptions.h"
#include "client/CommandInput.h"
#include "client/ScriptReport.h"
#include "foundation/Cp866.h"

namespace dovrel::client {
namespace {

TEST(ClientOptionsTest, ReadsEveryOptionAndKeepsSourcesInOrder) {
  const ClientOptions options =
      parseClientOptions({"-h", "db.local", "-p", "9000", "-u", "ivan", "-c", "get users;", "-f",
                          "a.txt", "-c", "commit;", "--raw", "--quiet-mode", "--values-866",
                          "--continue-on-error", "--no-pager", "--fetch"});
  EXPECT_EQ(options.host, "db.local");
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.user, "ivan");
  EXPECT_TRUE(options.raw);
  EXPECT_TRUE(options.quietMode);
  EXPECT_TRUE(options.continueOnError);
  EXPECT_FALSE(options.stopOnError);
  EXPECT_TRUE(options.valuesIn866);
  EXPECT_TRUE(options.noPager);
  EXPECT_TRUE(options.fetch);
  EXPECT_EQ(parseClientOptions({"--format", "tsv"}).format, OutputFormat::TSV);
  ASSERT_EQ(options.sources.size(), 3u);
  EXPECT_EQ(options.sources[0].value, "get users;");
  EXPECT_EQ(options.sources[1].kind, CommandSource::FILE);
  EXPECT_EQ(options.sources[2].value, "commit;");

  const ClientOptions defaults = parseClientOptions({});
  EXPECT_EQ(defaults.host, "127.0.0.1");
  EXPECT_EQ(defaults.port, 8888);
  EXPECT_FALSE(defaults.userGiven);
  EXPECT_FALSE(defaults.valuesIn866);
  EXPECT_FALSE(defaults.noPager);
  EXPECT_EQ(defaults.format, OutputFormat::TEXT);
}

TEST(ClientOptionsTest, RefusesBadPortsUnknownOptionsAndMissingValues) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"-p", "0"},
                                             {"-p", "65536"},
                                             {"-p", "80x"},
                                             {"-p", ""},
                                             {"-p"},
                                             {"-c"},
                                             {"-x"},
                                             {"select"},
                                             {"--import", "a.jsonl"},
                                             {"--table", "t"},
                                             {"--import", "a", "--table", "t", "--export", "t"},
                                             {"--export", "t", "-c", "commit;"},
                                             {"--export", "t", "--no-commit"},
                                             {"--where", "t.a.w = 1"},
                                             {"--format", "xml"},
                                             {"--format"},
                                             {"--raw", "--format", "json"},
                                             {"--export", "t", "--fetch"}}) {
    EXPECT_THROW(parseClientOptions(arguments), ClientError) << arguments[0];
  }
}

TEST(CommandInputTest, EmptyLinesSeparateCommands) {
  EXPECT_EQ(splitCommands("get users;\n\nadd t {\r\n  a: 1\r\n}\n  \nselect from t;"),
            (std::vector<std::string>{"get users;", "add t {\r\n  a: 1\r\n}", "select from t;"}));
  EXPECT_EQ(splitCommands("\n\n  \n"), std::vector<std::string>{});
  EXPECT_EQ(splitCommands("commit;\n"), std::vector<std::string>{"commit;"});
}

TEST(CommandInputTest, ScriptCommandsKnowTheirFirstLine) {
  const std::vector<ScriptCommand> commands =
      splitScript("\n  \nget users;\n\nadd t {\r\n  a: 1\r\n}\n\n\nselect from t;");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].firstLine, 3u);
  EXPECT_EQ(commands[1].firstLine, 5u);
  EXPECT_EQ(commands[1].text, "add t {\r\n  a: 1\r\n}");
  EXPECT_EQ(commands[2].firstLine, 10u);
}

// Refusals are reported at the line of the file: the request's line 3 is the command's
// first line; login refusals and unpositioned ones name the command's first line.
TEST(ScriptReportTest, RefusalsPointIntoTheFile) {
  const ScriptCommand command{"select from t\r\nwhere t.a.w = 1\r\norder by x;", 12};
  const struct {
    std::string answer;  // UTF-8 here, code page 866 on the wire
    std::string report;
  } cases[] = {
      {"ERROR\r\nОшибка в строке 3 столбце 14: таблица t не найдена",
       "s.dv:12:14: таблица t не найдена"},
      {"ERROR\r\nОшибка в строке 5 столбце 9: ожидается ';' получено x",
       "s.dv:14:9: ожидается ';' получено x"},
      {"ERROR\r\nОшибка в строке 2 столбце 18: неверный пароль", "s.dv:12: login: неверный пароль"},
      {"ERROR\r\nсервер в состоянии ошибки, требуется перезагрузка",
       "s.dv:12: сервер в состоянии ошибки, требуется перезагрузка"},
      {"ERROR\r\nОшибка в строке x столбце 1: y", "s.dv:12: Ошибка в строке x столбце 1: y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scriptRefusal("s.dv", command, utf8ToCp866(c.answer), false),
              c.report + "\n  in the command: select from t\n")
        << c.answer;
  }
  EXPECT_EQ(refusalLineInScript(command, utf8ToCp866(cases[1].answer)), 14u);
  EXPECT_FALSE(refusalPosition("OK\r\n"));
  EXPECT_EQ(scriptSummary("s.dv", 3, 1, 14),
            "s.dv: 3 commands sent, 1 refused; stopped after the refusal at line 14 "
            "(--continue-on-error sends the rest)\n");
  EXPECT_EQ(scriptSummary("s.dv", 1, 0, std::nullopt), "s.dv: 1 command sent, 0 refused\n");
}

TEST(CommandInputTest, TypedCommandIsSentOnTheEmptyLine) {
  CommandAccumulator typed;
  std::string command;
  EXPECT_FALSE(typed.addLine("", &command));  // nothing pending: no empty command
  EXPECT_FALSE(typed.addLine("select from t", &command));
  EXPECT_TRUE(typed.pending());
  EXPECT_FALSE(typed.addLine("where t.a.w = 1;", &command));
  EXPECT_TRUE(typed.addLine("", &command));
  EXPECT_EQ(command, "select from t\r\nwhere t.a.w = 1;");
  EXPECT_FALSE(typed.pending());
  EXPECT_FALSE(typed.finish(&command));
}

}  // namespace
}  // namespace dovrel::client
