// Allocation failures on the connection path of an in-process server: each run fails the
// n-th allocation of one request (its connection record, the body buffer as it grows, the
// answer, its framing). That connection may get its answer, a refusal, or end without an
// answer; it never gets a wrong answer, the server never ends, and the next connection is
// served byte for byte. A journal disk that fills up puts the real parser into its error
// state: the query whose record could not be written is refused and does not run, and the
// server goes on refusing instead of ending.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string>

#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "dovrel/ParserExecutor.h"
#include "foundation/Cp866.h"
#include "platform/FaultInjectionEnv.h"
#include "query/Parser.h"
#include "reliability/InProcessInstance.h"
#include "security/StoreTestSupport.h"
#include "server/Logger.h"
#include "server/TestComponents.h"
#include "server/TestServer.h"

namespace dovrel::reliability {
namespace {

using platform::FaultInjectionEnv;
using platform::FaultKind;
using namespace dovrel::server;
using namespace dovrel::server::testing;

TEST(FaultInjectionServerTest, FailedAllocationEndsItsConnectionNeverTheServer) {
  EventLog log;
  ServerFactories factories;
  factories.executor = [&log](const ServerPaths&, const ServerComponents&) {
    return std::make_shared<TestExecutor>(log);
  };
  factories.journal = [&log](const ServerPaths&, const ServerComponents&) {
    return std::make_shared<TestJournal>(log);
  };
  TestServer server(factories);
  ASSERT_TRUE(server.started());

  // A body that makes the buffers grow several times, past the pooled block sizes.
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += "line " + std::to_string(i) + "\r\n";
  const std::string answer = "OK\r\n" + body;
  // The answer text; "" when the connection ended without one.
  auto exchange = [&]() -> std::string {
    try {
      client::ClientConnection connection("127.0.0.1", server.port());
      EXPECT_TRUE(connection.socket().setReceiveTimeout(10000).isOk());
      return connection.request(body, client::RequestMode::KNOWN_LENGTH).text;
    } catch (const client::ClientError&) {
      return "";
    }
  };

  FaultInjectionEnv env;
  env.interceptAllocations(true);
  ASSERT_EQ(exchange(), answer);
  const uint64_t perRequest = env.count(FaultKind::ALLOCATE);
  ASSERT_GE(perRequest, 8u);

  int answered = 0, refused = 0, dropped = 0;
  for (uint64_t n = 1; n <= perRequest; ++n) {
    env.resetCounts();
    env.failAt(FaultKind::ALLOCATE, n, ENOMEM);
    const std::string got = exchange();
    if (got == answer) {
      ++answered;
    } else if (got.empty()) {
      ++dropped;
    } else {
      ++refused;
      EXPECT_EQ(got.rfind("ERROR\r\n", 0), 0u)
          << "allocation " << n << ": a wrong answer: " << got.substr(0, 200);
    }
    env.clearFaults();
    EXPECT_EQ(exchange(), answer) << "after failing allocation " << n;
  }
  env.interceptAllocations(false);
  std::cout << "allocations per request: " << perRequest << "; failed runs answered " << answered
            << ", refused " << refused << ", dropped " << dropped << "\n";
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(server.endStatus(), -1) << "the server ended";
}

TEST(FaultInjectionServerTest, FullJournalDiskRefusesTheQueryAndEntersTheErrorState) {
  test::InstanceDir dir;
  std::filesystem::create_directory(dir.file("LOGS"));
  test::writeFile(dir.file("security.txt"), adminOnlySecurity());
  const std::string logDir = dir.file("LOGS/");
  auto makeExecutor = [&dir] {
    return std::make_shared<ParserExecutor>(
        std::make_unique<query::Parser>(query::ParserFiles::inBaseDirectory(dir.path())));
  };
  const std::string create =
      "create table t alias 'T' { field title alias 'T' : text { index w 'words size=16'; }; };";
  const std::string length = "get table t length;";
  auto add = [](int n) {
    return "add document { field title = 'doc " + std::to_string(n) + "'; } to table t;";
  };
  const std::string errorState =
      "ERROR\r\n" + std::string("сервер в состоянии ошибки, требуется перезагрузка"_cp866);

  FaultInjectionEnv env;
  platform::Env::setCurrent(&env);
  {
    ServerFactories factories;
    factories.executor = [&](const ServerPaths&, const ServerComponents&) {
      return makeExecutor();
    };
    factories.journal = [&](const ServerPaths&, const ServerComponents& made) {
      return std::make_shared<Logger>(logDir, *made.executor);
    };
    TestServer server(factories);
    ASSERT_TRUE(server.started());
    auto ask = [&](const std::string& command) {
      client::ClientConnection connection("127.0.0.1", server.port());
      return connection.request(ADMIN_LOGIN + command, client::RequestMode::KNOWN_LENGTH).text;
    };
    ASSERT_EQ(ask(create), "OK\r\n");
    ASSERT_EQ(ask(add(0)), "OK\r\ndocument 0\r\n");
    // The disk is full: the next write anywhere is the record of the next query.
    env.failAt(FaultKind::WRITE, 1, ENOSPC, true);
    EXPECT_EQ(ask(add(1)),
              "ERROR\r\n" + std::string("ошибка записи в "_cp866) + logDir + "current.log");
    env.clearFaults();
    EXPECT_EQ(ask(length), errorState);
    EXPECT_EQ(ask("halt;"), errorState);
    // A stop signal in the error state saves nothing and keeps the journal.
    server.core().haltWhenIdle();
    EXPECT_EQ(server.endStatus(), 1);
    EXPECT_NE(server.console().find("сервер в состоянии ошибки, требуется перезагрузка\n"_cp866),
              std::string::npos);
    EXPECT_EQ(server.console().find("Assertion"), std::string::npos);
  }
  platform::Env::setCurrent(nullptr);
  ASSERT_TRUE(std::filesystem::exists(logDir + "current.log"));

  // The restart redoes what ran, and nothing of the query that was refused.
  test::ConsoleCapture quiet;
  auto executor = makeExecutor();
  Logger journal(logDir, *executor);
  TextBuffer answer;
  executor->execute(TextView(ADMIN_LOGIN + length), answer);
  EXPECT_EQ(answer.toString(), "OK\r\n1\r\n1\r\n");
}

}  // namespace
}  // namespace dovrel::reliability
