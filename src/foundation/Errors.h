// The failure channels of the system. Any thread may throw and catch these.
//
//   SemanticError      the client asked for something wrong; the query is refused.
//   DiskOrMemoryError  the disk or memory failed; the query is refused and the query
//                      executor enters its error state until restart.
//   TextError          a finished message text (already positioned by the scanner or
//                      otherwise complete) that travels unchanged to the client or console.
//
// All three derive from Error, which carries the message and the channel's kind; a catch
// that treats them alike catches Error, and the places that report failures of any kind
// go through handleFailures() (foundation/Failure.h). None of them derives from
// std::exception, so
// "catch (const std::exception&)" means "anything unexpected". Messages are code page 866
// bytes, except where a caller says.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace dovrel {

// Which channel a failure came on; UNEXPECTED is anything that is not an Error.
enum class FailureKind {
  SEMANTIC,        // SemanticError: a refusal still to be positioned
  TEXT,            // TextError: a finished text
  DISK_OR_MEMORY,  // DiskOrMemoryError: the error state follows
  UNEXPECTED,      // anything else, std::bad_alloc included
};

// The common base: the message and the channel. Only the three channels below derive
// from it; it is never thrown itself.
class Error {
 public:
  const std::string& message() const { return message_; }
  FailureKind kind() const { return kind_; }

 protected:
  Error(FailureKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Error(FailureKind kind, std::string_view message) : kind_(kind), message_(message) {}
  Error(FailureKind kind, const char* message) : kind_(kind), message_(message) {}
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  ~Error() = default;

 private:
  FailureKind kind_;
  std::string message_;
};

class SemanticError : public Error {
 public:
  explicit SemanticError(std::string message) : Error(FailureKind::SEMANTIC, std::move(message)) {}
  explicit SemanticError(std::string_view message) : Error(FailureKind::SEMANTIC, message) {}
  explicit SemanticError(const char* message) : Error(FailureKind::SEMANTIC, message) {}
};

class DiskOrMemoryError : public Error {
 public:
  explicit DiskOrMemoryError(std::string message)
      : Error(FailureKind::DISK_OR_MEMORY, std::move(message)) {}
  explicit DiskOrMemoryError(std::string_view message)
      : Error(FailureKind::DISK_OR_MEMORY, message) {}
  explicit DiskOrMemoryError(const char* message) : Error(FailureKind::DISK_OR_MEMORY, message) {}
};

class TextError : public Error {
 public:
  explicit TextError(std::string text) : Error(FailureKind::TEXT, std::move(text)) {}
  explicit TextError(std::string_view text) : Error(FailureKind::TEXT, text) {}
  explicit TextError(const char* text) : Error(FailureKind::TEXT, text) {}
  // The finished text; the same bytes as message().
  const std::string& text() const { return message(); }
};

}  // namespace dovrel
