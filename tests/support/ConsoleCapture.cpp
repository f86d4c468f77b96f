// The console capture.
#include "support/ConsoleCapture.h"

#include <string_view>

#include "foundation/Console.h"

namespace dovrel::testsupport {

ConsoleCapture::ConsoleCapture() {
  setConsoleSink([this](std::string_view message) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += message;
  });
}

ConsoleCapture::~ConsoleCapture() { setConsoleSink({}); }

std::string ConsoleCapture::text() {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void ConsoleCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

}  // namespace dovrel::testsupport
