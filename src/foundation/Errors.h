// The failure channels of the system. Any thread may throw and catch these.
//
//   SemanticError      the client asked for something wrong; the query is refused.
//   DiskOrMemoryError  the disk or memory failed; the query is refused and the query
//                      executor enters its error state until restart.
//   TextError          a finished message text (already positioned by the scanner or
//                      otherwise complete) that travels unchanged to the client or console.
//
// None of them derives from std::exception, so "catch (const std::exception&)" means
// "anything unexpected". Messages are code page 866 bytes, except where a caller says.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace dovrel {

class SemanticError {
 public:
  explicit SemanticError(std::string message) : message_(std::move(message)) {}
  explicit SemanticError(std::string_view message) : message_(message) {}
  explicit SemanticError(const char* message) : message_(message) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

class DiskOrMemoryError {
 public:
  explicit DiskOrMemoryError(std::string message) : message_(std::move(message)) {}
  explicit DiskOrMemoryError(std::string_view message) : message_(message) {}
  explicit DiskOrMemoryError(const char* message) : message_(message) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

class TextError {
 public:
  explicit TextError(std::string text) : text_(std::move(text)) {}
  explicit TextError(std::string_view text) : text_(text) {}
  explicit TextError(const char* text) : text_(text) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace dovrel
