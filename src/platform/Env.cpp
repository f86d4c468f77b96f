// The parts of the file-system interface that do not depend on the operating system: the
// Status text, path helpers, the process-wide current Env and page-caching mode.
// Env::current() may be called from any thread; setCurrent() only before other threads start.
#include "platform/Env.h"

#include <atomic>
#include <cstring>

namespace dovrel::platform {

namespace {

std::atomic<Env*> currentEnv{nullptr};
std::atomic<PageCaching> currentPageCaching{PageCaching::SYSTEM_CACHE};

}  // namespace

std::string Status::toString() const {
  if (isOk()) return "OK";
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be placed in `buffer`.
  const char* text = strerror_r(error_, buffer, sizeof buffer);
  if (path_.empty()) return text;
  return path_ + ": " + text;
}

Env& Env::current() {
  Env* env = currentEnv.load(std::memory_order_acquire);
  return env != nullptr ? *env : posix();
}

void Env::setCurrent(Env* env) { currentEnv.store(env, std::memory_order_release); }

void setPageCaching(PageCaching caching) {
  currentPageCaching.store(caching, std::memory_order_release);
}

PageCaching pageCaching() { return currentPageCaching.load(std::memory_order_acquire); }

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

}  // namespace dovrel::platform
