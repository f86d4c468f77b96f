// The one catch over the failure channels: every place that reports failures of any kind
// (the parser's refusals and its console line at destruction, the server's answers, its
// start-up and its halt) runs its work through handleFailures() instead of repeating the
// catch ladder. A failure is classified by its kind, without a rethrow, so a refused query
// costs no more unwinding than the throw itself. Any thread.
#pragma once

#include <string_view>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel {

// The text that reports a failure that is not one of the system's own.
inline constexpr std::string_view UNEXPECTED_FAILURE_TEXT = "неожиданная ошибка"_cp866;

// A failure as the handler of handleFailures() sees it. `text` points into the exception
// being handled (or at UNEXPECTED_FAILURE_TEXT): valid only while the handler runs.
struct Failure {
  FailureKind kind;
  std::string_view text;
};

// Runs `work` and returns what it returns; when it throws, returns what `handler` returns
// for the failure (the handler may throw in turn, or be [[noreturn]]). The handler runs
// inside the catch block.
template <class Work, class Handler>
auto handleFailures(Work&& work, Handler&& handler) -> decltype(work()) {
  try {
    return work();
  } catch (const Error& error) {
    return handler(Failure{error.kind(), error.message()});
  } catch (...) {
    return handler(Failure{FailureKind::UNEXPECTED, UNEXPECTED_FAILURE_TEXT});
  }
}

}  // namespace dovrel
