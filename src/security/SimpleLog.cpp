// SimpleLog: the append-only security log. Query thread only.
#include "security/SimpleLog.h"

namespace dovrel {

SimpleLog::SimpleLog(std::string path) : path_(std::move(path)) {
  if (!platform::Env::current().openWritableFile(path_, true, &file_).isOk()) file_.reset();
}

SimpleLog::~SimpleLog() = default;

void SimpleLog::write(std::string_view bytes) {
  if (file_ == nullptr) return;
  // The log is a record, not a part of the query: its failures are not the client's.
  (void)file_->append(bytes.data(), bytes.size());
  (void)file_->flush();
}

}  // namespace dovrel
