// The one catch over the failure channels: each channel keeps its kind and its exact
// message, anything else is unexpected, work that succeeds returns its own value, a handler
// may throw in turn, and the common base catches the three channels alike.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Failure.h"

using namespace dovrel;

namespace {

// The kind and the text that the handler saw, copied while it ran.
struct Seen {
  FailureKind kind;
  std::string text;
};

Seen failureOf(const std::function<void()>& action) {
  return handleFailures(
      [&] {
        action();
        return Seen{FailureKind::UNEXPECTED, "<nothing thrown>"};
      },
      [](const Failure& failure) {
        return Seen{failure.kind, std::string(failure.text)};
      });
}

TEST(FailureTest, EachChannelKeepsItsKindAndItsMessage) {
  const std::string unexpected(std::string("неожиданная ошибка"_cp866));
  const struct {
    const char* name;
    std::function<void()> action;
    FailureKind kind;
    std::string text;
  } cases[] = {
      {"semantic", [] { throw SemanticError("таблица t не найдена"_cp866); }, FailureKind::SEMANTIC,
       std::string("таблица t не найдена"_cp866)},
      {"text", [] { throw TextError("Ошибка в строке 1 столбце 2: x"_cp866); }, FailureKind::TEXT,
       std::string("Ошибка в строке 1 столбце 2: x"_cp866)},
      {"disk", [] { throw DiskOrMemoryError(std::string("DATA/t.table: 28")); },
       FailureKind::DISK_OR_MEMORY, "DATA/t.table: 28"},
      {"empty message", [] { throw SemanticError(""); }, FailureKind::SEMANTIC, ""},
      {"memory", [] { throw std::bad_alloc(); }, FailureKind::UNEXPECTED, unexpected},
      {"foreign", [] { throw 42; }, FailureKind::UNEXPECTED, unexpected},
  };
  for (const auto& c : cases) {
    const Seen failure = failureOf(c.action);
    EXPECT_EQ(failure.kind, c.kind) << c.name;
    EXPECT_EQ(failure.text, c.text) << c.name;
  }
}

TEST(FailureTest, WorkReturnsItsValueAndAHandlerMayThrowInTurn) {
  EXPECT_EQ(handleFailures([] { return 7; }, [](const Failure&) { return 0; }), 7);
  std::string rethrown;
  try {
    handleFailures([]() -> int { throw SemanticError("x"); },
                   [](const Failure& failure) -> int { throw TextError(failure.text); });
  } catch (const TextError& error) {
    rethrown = error.text();
  }
  EXPECT_EQ(rethrown, "x");
}

TEST(FailureTest, TheBaseCatchesEveryChannelAndNothingElse) {
  const auto caughtByBase = [](const std::function<void()>& action) {
    try {
      action();
    } catch (const Error& error) {
      return error.message();
    } catch (...) {
      return std::string("<other>");
    }
    return std::string("<nothing thrown>");
  };
  EXPECT_EQ(caughtByBase([] { throw SemanticError("a"); }), "a");
  EXPECT_EQ(caughtByBase([] { throw TextError("b"); }), "b");
  EXPECT_EQ(caughtByBase([] { throw DiskOrMemoryError("c"); }), "c");
  EXPECT_EQ(caughtByBase([] { throw std::bad_alloc(); }), "<other>");
}

}  // namespace
