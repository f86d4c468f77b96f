// dovrel-client's command line and the cutting of input into commands.
#include <gtest/gtest.h>

#include "client/ClientError.h"
#include "client/ClientOptions.h"
#include "client/CommandInput.h"

namespace dovrel::client {
namespace {

TEST(ClientOptionsTest, ReadsEveryOptionAndKeepsSourcesInOrder) {
  const ClientOptions options =
      parseClientOptions({"-h", "db.local", "-p", "9000", "-u", "ivan", "-c", "get users;", "-f",
                          "a.txt", "-c", "commit;", "--raw", "--quiet-mode", "--values-866"});
  EXPECT_EQ(options.host, "db.local");
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.user, "ivan");
  EXPECT_TRUE(options.raw);
  EXPECT_TRUE(options.quietMode);
  EXPECT_TRUE(options.valuesIn866);
  ASSERT_EQ(options.sources.size(), 3u);
  EXPECT_EQ(options.sources[0].value, "get users;");
  EXPECT_EQ(options.sources[1].kind, CommandSource::FILE);
  EXPECT_EQ(options.sources[2].value, "commit;");

  const ClientOptions defaults = parseClientOptions({});
  EXPECT_EQ(defaults.host, "127.0.0.1");
  EXPECT_EQ(defaults.port, 8888);
  EXPECT_FALSE(defaults.userGiven);
  EXPECT_FALSE(defaults.valuesIn866);
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
                                             {"select"}}) {
    EXPECT_THROW(parseClientOptions(arguments), ClientError) << arguments[0];
  }
}

TEST(CommandInputTest, EmptyLinesSeparateCommands) {
  EXPECT_EQ(splitCommands("get users;\n\nadd t {\r\n  a: 1\r\n}\n  \nselect from t;"),
            (std::vector<std::string>{"get users;", "add t {\r\n  a: 1\r\n}", "select from t;"}));
  EXPECT_EQ(splitCommands("\n\n  \n"), std::vector<std::string>{});
  EXPECT_EQ(splitCommands("commit;\n"), std::vector<std::string>{"commit;"});
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
