// Allocation failures on the connection path of an in-process server: each run fails the
// n-th allocation of one request (its connection record, the body buffer as it grows, the
// answer, its framing). That connection may get its answer, a refusal, or end without an
// answer; it never gets a wrong answer, the server never ends, and the next connection is
// served byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <iostream>
#include <string>

#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "platform/FaultInjectionEnv.h"
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

}  // namespace
}  // namespace dovrel::reliability
