// dovrel-client against the real server: one-off commands, scripts on standard input,
// raw output, quiet mode, a server that is not there, the code pages of typed values, and
// the interactive shell at a pseudo-terminal (login check, history, Ctrl-C, a server
// restart, the pager).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "E2ETest.h"
#include "foundation/Cp866.h"
#include "support/Files.h"

namespace dovrel::e2e {
namespace {

// Answers that no command handler changes: an unknown command keyword, and a commit.
const std::string KEYWORDS =
    "ожидается add, alter, commit, create, delete, drop, get, grant, halt, optimize, revoke, "
    "select или set\n";
const std::string UNKNOWN_TEXT = "ERROR\nОшибка в строке 3 столбце 11: " + KEYWORDS;
const std::string COMMITTED_TEXT = "OK\n";

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
  const ProgramRun run = client({"-c", "frobnicate;"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, UNKNOWN_TEXT);
  EXPECT_EQ(run.errors, "");  // progress goes to a terminal only
}

TEST_F(ClientE2ETest, ScriptCommandsAreSentInOrderOnOneConnection) {
  const ProgramRun run = client({}, "frobnicate;\n\ncommit\n;\n\n\nfrobnicate\nx;");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, UNKNOWN_TEXT + COMMITTED_TEXT + UNKNOWN_TEXT);

  std::ofstream(instance_->directory() + "script.txt") << "frobnicate;\r\n\r\ncommit;\r\n";
  const ProgramRun fromFile =
      client({"--continue-on-error", "-f", instance_->directory() + "script.txt", "-c", "x"});
  EXPECT_EQ(fromFile.output,
            UNKNOWN_TEXT + COMMITTED_TEXT + "ERROR\nОшибка в строке 3 столбце 1: " + KEYWORDS);
}

// A script stops at its first refusal, which is reported at its line and column in the
// file; nothing after it is sent, not even the sources that follow.
TEST_F(ClientE2ETest, ScriptStopsAtARefusalReportedAtItsPlaceInTheFile) {
  const std::string script = instance_->directory() + "load.txt";
  std::ofstream(script) << "get users;\n\n\nget users;\n  commit;\n\ncommit;\n";
  const ProgramRun run = client({"-f", script, "-c", "commit;"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output.find("OK\n", run.output.find("ERROR")), std::string::npos) << run.output;
  EXPECT_EQ(run.errors, script +
                            ":5:9: ожидается конец запроса получено commit\n"
                            "  in the command: get users;\n"
                            "dovrel-client: " +
                            script +
                            ": 2 commands sent, 1 refused; stopped after the refusal at line 5 "
                            "(--continue-on-error sends the rest)\n");
}

// At a terminal the login is checked before the first prompt: a wrong password ends the
// client with the server's message; a right one gives the prompt and runs what is typed.
TEST_F(ClientE2ETest, TerminalSessionChecksTheLoginFirst) {
  const std::vector<std::string> login = {"-p", std::to_string(instance_->port()), "-u", "admin"};
  const ProgramRun wrong =
      instance_->runClientInTerminal(login, {"commit;", ""}, {{"DOVREL_PASSWORD", "guess"}});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.output.find("неверный пароль"), std::string::npos) << wrong.output;
  EXPECT_EQ(wrong.output.find("dovrel> "), std::string::npos) << wrong.output;

  const ProgramRun right = instance_->runClientInTerminal(login, {"get table names;", ""},
                                                          {{"DOVREL_PASSWORD", "secret"}});
  EXPECT_EQ(right.status, 0);
  EXPECT_NE(right.output.find("dovrel> "), std::string::npos) << right.output;
  EXPECT_NE(right.output.find("OK\r\n"), std::string::npos) << right.output;
}

// The interactive shell: each typed line lands in ~/.dovrel_history (mode 0600), and the
// next session recalls it with the Up arrow.
TEST_F(ClientE2ETest, TerminalHistoryIsKeptInTheHomeDirectory) {
  const std::string home = instance_->directory() + "/home";
  std::filesystem::create_directories(home);
  const std::vector<std::string> login = {"-p", std::to_string(instance_->port()), "-u", "admin"};
  const std::map<std::string, std::string> environment = {{"DOVREL_PASSWORD", "secret"},
                                                          {"HOME", home}};
  const ProgramRun first = instance_->runClientInTerminal(login, {"commit;", ""}, environment);
  EXPECT_EQ(first.status, 0) << first.output;
  struct stat status {};
  ASSERT_EQ(::stat((home + "/.dovrel_history").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  const ProgramRun second = instance_->runClientInTerminal(login, {"\x1b[A", ""}, environment);
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_NE(second.output.find("commit;"), std::string::npos) << second.output;
  EXPECT_NE(second.output.find("OK\r\n"), std::string::npos) << second.output;
}

// Ctrl-C drops the line being typed and the pending lines of a command, not the client:
// "frobnicate" is never sent (it would be refused and end with status 1).
TEST_F(ClientE2ETest, TerminalCtrlCCancelsTheCommandBeingTyped) {
  const std::vector<std::string> login = {"-p", std::to_string(instance_->port()), "-u", "admin"};
  const ProgramRun run = instance_->runClientInTerminal(
      login, {"frobnicate", "more\x03", "", "commit;", ""}, {{"DOVREL_PASSWORD", "secret"}});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("ERROR"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("OK\r\n"), std::string::npos) << run.output;
}

// A server restart between two typed commands: the second goes out on a new connection
// and the session goes on.
TEST_F(ClientE2ETest, TerminalSessionSurvivesAServerRestart) {
  const uint16_t port = instance_->port();
  const std::vector<std::string> login = {"-p", std::to_string(port), "-u", "admin"};
  constexpr int PAUSE_MS = 1500;
  auto session = std::async(std::launch::async, [&] {
    return instance_->runClientInTerminal(login, {"commit;", "", "get table names;", ""},
                                          {{"DOVREL_PASSWORD", "secret"}}, PAUSE_MS);
  });
  // The first command is answered by 3 pauses; the second is typed after the fourth.
  std::this_thread::sleep_for(std::chrono::milliseconds(PAUSE_MS * 3 + PAUSE_MS / 4));
  instance_->stop();
  ASSERT_TRUE(instance_->start(port));
  const ProgramRun run = session.get();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("connection lost"), std::string::npos) << run.output;
  const std::size_t first = run.output.find("OK\r\n");
  ASSERT_NE(first, std::string::npos) << run.output;
  EXPECT_NE(run.output.find("OK\r\n", first + 1), std::string::npos) << run.output;
}

// A long answer goes through $PAGER at a terminal only: never with -c or a pipe, nor with
// --no-pager.
TEST_F(ClientE2ETest, LongAnswersArePagedOnlyAtATerminal) {
  ASSERT_EQ(
      client({"-c",
              "create table t alias 'T' { field n alias 'N' : text { index whole 'whole'; }; };"})
          .status,
      0);
  std::string adds;
  for (int i = 0; i < 30; ++i) adds += "add document { field n = 'x'; } to table t;\n";
  const std::string marker = instance_->directory() + "/paged";
  const std::map<std::string, std::string> environment = {{"DOVREL_PASSWORD", "secret"},
                                                          {"PAGER", "cat > " + marker}};
  const std::vector<std::string> login = {"-p", std::to_string(instance_->port()), "-u", "admin"};
  std::vector<std::string> command = login;
  command.insert(command.end(), {"-c", adds});
  const ProgramRun once = instance_->runClient(command, "", environment);
  EXPECT_EQ(once.status, 0);
  EXPECT_NE(once.output.find("document 29\n"), std::string::npos) << once.output;
  const ProgramRun piped = instance_->runClient(login, adds, environment);
  EXPECT_EQ(piped.status, 0);
  EXPECT_NE(piped.output.find("document 59\n"), std::string::npos) << piped.output;
  EXPECT_FALSE(std::filesystem::exists(marker));

  std::vector<std::string> noPager = login;
  noPager.push_back("--no-pager");
  const ProgramRun direct = instance_->runClientInTerminal(noPager, {adds}, environment);
  EXPECT_NE(direct.output.find("document 89\r\n"), std::string::npos) << direct.output;
  EXPECT_FALSE(std::filesystem::exists(marker));

  const ProgramRun paged = instance_->runClientInTerminal(login, {adds}, environment);
  EXPECT_EQ(paged.status, 0) << paged.output;
  const std::string pagedText = testsupport::readFile(marker);
  EXPECT_NE(pagedText.find("document 119\n"), std::string::npos) << pagedText;
}

TEST_F(ClientE2ETest, RawKeepsTheServersBytesAndQuietModeWorks) {
  const ProgramRun raw = client({"--raw", "--quiet-mode", "-c", "frobnicate;"});
  EXPECT_EQ(raw.status, 1);
  ASSERT_TRUE(raw.output.starts_with("ERROR\r\n"));
  EXPECT_EQ(raw.output.substr(7, 6), "\x8E\xE8\xA8\xA1\xAA\xA0");  // "Ошибка" in code page 866
}

// String values go out in code page 1251, which the index normaliser reads, so Cyrillic
// words typed in the client are found by searches typed in the client.
TEST_F(ClientE2ETest, CyrillicValuesTypedInTheClientAreFoundBySearches) {
  ASSERT_EQ(client({"-c",
                    "create table books alias 'Книги' { field title alias 'Название' : text {"
                    " index words 'words'; index start 'words-prefix'; index whole 'whole'; };"
                    " };"})
                .output,
            "OK\n");
  const ProgramRun added =
      client({"-c",
              "add document { field title = 'Война и мир'; } to table books;\n"
              "add document { field title = #13#Анна Каренина#; } to table books;"});
  EXPECT_EQ(added.output, "OK\ndocument 0\nOK\ndocument 1\n") << added.errors;
  const auto found = [&](const std::string& condition) {
    return client({"-c", "select from books where " + condition + ";"}).output;
  };
  EXPECT_EQ(found("title.words = 'мир'"), "OK\n1\n0\n");
  EXPECT_EQ(found("title.words = 'КАРЕНИНА'"), "OK\n1\n1\n");
  EXPECT_EQ(found("title.words prefix 'ка'"), "OK\n1\n1\n");
  EXPECT_EQ(found("title.start = 'вой'"), "OK\n1\n0\n");
  EXPECT_EQ(found("title.whole = #11#Война и мир#"), "OK\n1\n0\n");
  EXPECT_EQ(found("title.whole prefix 'анна'"), "OK\n1\n1\n");

  // The value comes back as typed, counted in characters; --raw shows the 1251 bytes.
  const ProgramRun shown = client({"-c", "get document 0 from table books;"});
  EXPECT_NE(shown.output.find("#11#Война и мир#"), std::string::npos) << shown.output;
  const ProgramRun raw = client({"--raw", "-c", "get document 0 from table books;"});
  EXPECT_NE(raw.output.find("#11#" + std::string("Война и мир"_cp1251) + "#"), std::string::npos)
      << raw.output;

  // An emoji is refused before anything is sent: the words of its command are not added.
  const ProgramRun refused =
      client({"-c", "add document { field title = 'Мир 😀'; } to table books;"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "");
  EXPECT_EQ(refused.errors,
            "dovrel-client: line 1, column 35: the character U+1F600 '😀' has no place in code "
            "page 1251 (string values); nothing was sent\n");
  EXPECT_EQ(found("title.words = 'мир'"), "OK\n1\n0\n");
}

// Export, import into a fresh table of the same structure, export again: the same lines
// apart from the document numbers. A deleted document is not exported; a refused line is
// reported at its line of the file and nothing after it is sent.
// A select with --fetch prints the documents it found, 1000 a request, in each format; a
// refusal of the search is shown as a refusal in the format.
TEST_F(ClientE2ETest, FetchPrintsTheFoundDocumentsInEachFormat) {
  std::string adds;
  for (int i = 0; i < 1002; ++i) {
    adds += "add document { field n = #" + std::to_string(std::to_string(i).size()) + "#" +
            std::to_string(i) + "#; field s = " + (i == 1 ? "#5#мир\tи#" : "null") +
            "; } to table t;\n";
  }
  ASSERT_EQ(client({"-c",
                    "create table t alias '' { field n alias '' : int64 { index whole 'whole'; };"
                    " field s alias '' : text null { }; };",
                    "-c", adds})
                .status,
            0);
  const std::string select = "select from t where n.whole range '1' to '1001' order by n.whole;";
  const ProgramRun text = client({"--fetch", "-c", select});
  EXPECT_EQ(text.status, 0) << text.errors;
  EXPECT_TRUE(text.output.starts_with(
      "OK\n1001\ndocument 1 {\n   field n = #1#1#;\n   field s = #5#мир\tи#;\n};\n"
      "document 2 {\n"))
      << text.output.substr(0, 200);
  EXPECT_NE(text.output.find("document 1001 {\n   field n = #4#1001#;\n   field s = null;\n};\n"),
            std::string::npos);
  const ProgramRun json = client({"--fetch", "--format", "json", "-c", select});
  EXPECT_EQ(json.output.substr(0, json.output.find('\n', 40) + 1),
            "{\"@id\":1,\"n\":1,\"s\":\"мир\\tи\"}\n{\"@id\":2,\"n\":2,\"s\":null}\n");
  EXPECT_EQ(std::count(json.output.begin(), json.output.end(), '\n'), 1001);
  const ProgramRun tsv = client({"--fetch", "--format", "tsv", "-c", select});
  EXPECT_TRUE(tsv.output.starts_with("@id\tn\ts\n1\t1\tмир\\tи\n2\t2\t\\N\n"))
      << tsv.output.substr(0, 200);
  EXPECT_EQ(std::count(tsv.output.begin(), tsv.output.end(), '\n'), 1002);

  const ProgramRun refused =
      client({"--fetch", "--format", "json", "-c", "select from t where n.words = '1';"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output.find("{\"error\":"), 0u) << refused.output;
  EXPECT_NE(refused.output.find("\"line\":1,\"column\":"), std::string::npos) << refused.output;
}

TEST_F(ClientE2ETest, ExportImportExportGivesTheSameLines) {
  const std::string members =
      "field title alias '' : text { index words 'words'; }; "
      "field year alias '' : int64 { index whole 'whole'; }; "
      "field price alias '' : double null { }; field at alias '' : datetime null { }; "
      "group shelf alias '' { field room alias '' : text { }; field since alias '' : date { }; };";
  ASSERT_EQ(client({"-c", "create table books alias '' { " + members + " };", "-c",
                    "create table copy alias '' { " + members + " };"})
                .status,
            0);
  const ProgramRun added = client(
      {"-c",
       "add document { field title = 'War and Peace'; field year = '1869'; field price = '12.50'; "
       "field at = '25.12.2024 09:30:15'; group shelf { field room = #4#A\r\n1#; "
       "field since = '01.03.2020'; }; } to table books; "
       "add document { field title = 'gone'; field year = '1'; field price = null; "
       "field at = null; } to table books; "
       "add document { field title = 'Война и мир \"#1#\"'; field year = '-9223372036854775808'; "
       "field price = '1.e5'; field at = '01.01.2000 00:00'; } to table books;",
       "-c", "delete document 1 from table books;"});
  ASSERT_EQ(added.status, 0) << added.output;

  const ProgramRun first = client({"--export", "books"});
  ASSERT_EQ(first.status, 0) << first.errors;
  EXPECT_EQ(
      first.output,
      "{\"@id\":0,\"title\":\"War and Peace\",\"year\":1869,\"price\":12.5,"
      "\"at\":\"2024-12-25T09:30:15\",\"shelf\":{\"room\":\"A\\r\\n1\",\"since\":\"2020-03-01\"}}\n"
      "{\"@id\":2,\"title\":\"Война и мир \\\"#1#\\\"\",\"year\":-9223372036854775808,"
      "\"price\":100000.0,\"at\":\"2000-01-01T00:00\"}\n");
  const std::string file = instance_->directory() + "books.jsonl";
  std::ofstream(file) << first.output;
  const ProgramRun imported = client({"--import", file, "--table", "copy"});
  EXPECT_EQ(imported.status, 0) << imported.errors;
  // Imported Cyrillic is stored in code page 1251, so the words index finds it.
  EXPECT_EQ(client({"-c", "select from copy where title.words = 'МИР';"}).output, "OK\n1\n1\n");
  const ProgramRun second = client({"--export", "copy"});
  ASSERT_EQ(second.status, 0) << second.errors;
  const std::regex number("\"@id\":[0-9]+");
  EXPECT_EQ(std::regex_replace(second.output, number, "#"),
            std::regex_replace(first.output, number, "#"));
  const ProgramRun found = client({"--export", "copy", "--where", "title.words = 'peace'"});
  EXPECT_EQ(found.status, 0) << found.errors;
  EXPECT_EQ(std::regex_replace(found.output, number, "#"),
            std::regex_replace(first.output.substr(0, first.output.find('\n') + 1), number, "#"));

  std::ofstream(file) << "{\"title\": \"kept\", \"year\": 7}\n\n"
                      << "{\"title\": \"bad\", \"year\": 7, \"price\": 1e308}\n"
                      << "{\"title\": \"never\", \"year\": 8}\n";
  const ProgramRun refused = client({"--import", file, "--table", "copy"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.errors.find(file + ":3: значение 1.0e+308 поля price"), 0u) << refused.errors;
  const ProgramRun after = client({"--export", "copy", "--where", "year.whole range '7' to '8'"});
  EXPECT_EQ(std::regex_replace(after.output, number, "#"),
            "{#,\"title\":\"kept\",\"year\":7,\"price\":null,\"at\":null}\n");
}

TEST_F(ClientE2ETest, MissingServerIsALostConnection) {
  instance_->stop();
  const ProgramRun run = client({"-c", "commit;"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_NE(run.errors.find("cannot connect"), std::string::npos) << run.errors;
}

}  // namespace
}  // namespace dovrel::e2e
