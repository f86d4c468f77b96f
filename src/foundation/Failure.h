// The one reading of a caught exception: which channel it came on and the text that
// reports it. Every place that reports failures of any kind (the parser's refusals, the
// server's answers and console lines) asks here instead of repeating the catch ladder.
// Any thread; call only inside a catch block.
#pragma once

#include <string>

namespace dovrel {

enum class FailureKind {
  SEMANTIC,        // SemanticError: a refusal still to be positioned
  TEXT,            // TextError: a finished text
  DISK_OR_MEMORY,  // DiskOrMemoryError: the error state follows
  UNEXPECTED,      // anything else, std::bad_alloc included
};

struct Failure {
  FailureKind kind;
  std::string text;  // the exception's message; "неожиданная ошибка" when UNEXPECTED
};

// The exception being handled. Precondition: called inside a catch block (the current
// exception is rethrown to be classified).
Failure currentFailure();

}  // namespace dovrel
