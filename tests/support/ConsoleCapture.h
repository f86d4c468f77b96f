// Collects everything printed to the console (code page 866 bytes) while it lives, instead
// of letting it reach the terminal. Safe to print to from any thread.
#pragma once

#include <mutex>
#include <string>

namespace dovrel::testsupport {

class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string text();
  void clear();

 private:
  std::mutex mutex_;
  std::string text_;
};

}  // namespace dovrel::testsupport
