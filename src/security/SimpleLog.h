// SimpleLog: an append-only text file, the security log beside the data directory. It is
// opened once for appending and every write is flushed at once, so an entry survives a
// crash of the process. Best-effort: a log that cannot be opened or written loses entries
// silently and never fails a query. Used by the thread that runs queries only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "platform/Env.h"

namespace dovrel {

class SimpleLog : public Object {
 public:
  // Opens `path` for appending (creating it), through the current Env. A failure leaves
  // the log closed; writes then do nothing.
  explicit SimpleLog(std::string path);
  ~SimpleLog() override;
  SimpleLog(const SimpleLog&) = delete;
  SimpleLog& operator=(const SimpleLog&) = delete;

  // Appends the bytes as they are and flushes them to the system. Errors are ignored.
  void write(std::string_view bytes);

  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::unique_ptr<platform::WritableFile> file_;
};

}  // namespace dovrel
