// The failure channels of the system. Any thread may throw and catch these.
//
//   SemanticError      the client asked for something wrong; the query is refused.
//   DiskOrMemoryError  the disk or memory failed; the query is refused and the query
//                      executor enters its error state until restart.
//   TextError          a finished message text (already positioned by the scanner or
//                      otherwise complete) that travels unchanged to the client or console.
//
// All three derive from Error, which carries the message; a catch that treats them alike
// catches Error, and currentFailure() (foundation/Failure.h) tells them apart for the
// places that report them. None of them derives from std::exception, so
// "catch (const std::exception&)" means "anything unexpected". Messages are code page 866
// bytes, except where a caller says.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace dovrel {

// The common base: the message and nothing else. Only the three channels below derive
// from it; it is never thrown itself.
class Error {
 public:
  const std::string& message() const { return message_; }

 protected:
  explicit Error(std::string message) : message_(std::move(message)) {}
  explicit Error(std::string_view message) : message_(message) {}
  explicit Error(const char* message) : message_(message) {}
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  ~Error() = default;

 private:
  std::string message_;
};

class SemanticError : public Error {
 public:
  explicit SemanticError(std::string message) : Error(std::move(message)) {}
  explicit SemanticError(std::string_view message) : Error(message) {}
  explicit SemanticError(const char* message) : Error(message) {}
};

class DiskOrMemoryError : public Error {
 public:
  explicit DiskOrMemoryError(std::string message) : Error(std::move(message)) {}
  explicit DiskOrMemoryError(std::string_view message) : Error(message) {}
  explicit DiskOrMemoryError(const char* message) : Error(message) {}
};

class TextError : public Error {
 public:
  explicit TextError(std::string text) : Error(std::move(text)) {}
  explicit TextError(std::string_view text) : Error(text) {}
  explicit TextError(const char* text) : Error(text) {}
  // The finished text; the same bytes as message().
  const std::string& text() const { return message(); }
};

}  // namespace dovrel
