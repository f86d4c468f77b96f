// The fault-injecting Env for tests. Every call is counted under one mutex; an armed fault
// or the crashed state answers instead of the base Env. The wrapped files report back to
// their Env so that a crash can restore the content of each file as of its last sync.
#include "platform/FaultInjectionEnv.h"

#include <cerrno>

namespace dovrel::platform {

const char* faultKindName(FaultKind kind) {
  static constexpr const char* NAMES[FAULT_KIND_COUNT] = {
      "open",  "read",   "write",  "flush", "sync",    "truncate", "size",
      "close", "rename", "delete", "mkdir", "syncdir", "listdir",  "allocate"};
  return NAMES[static_cast<std::size_t>(kind)];
}

namespace {

std::size_t indexOf(FaultKind kind) { return static_cast<std::size_t>(kind); }

class FaultyPageFile final : public PageFile {
 public:
  FaultyPageFile(FaultInjectionEnv& env, std::unique_ptr<PageFile> base)
      : env_(env), base_(std::move(base)) {}

  Status readAt(uint64_t offset, void* buffer, std::size_t length,
                std::size_t* transferred) override {
    *transferred = 0;
    Status status = env_.admit(FaultKind::READ, path());
    if (!status) return status;
    return base_->readAt(offset, buffer, length, transferred);
  }
  Status writeAt(uint64_t offset, const void* buffer, std::size_t length,
                 std::size_t* transferred) override {
    *transferred = 0;
    Status status = env_.admit(FaultKind::WRITE, path());
    if (!status) return status;
    env_.recordWrite(path());
    return base_->writeAt(offset, buffer, length, transferred);
  }
  Status size(uint64_t* bytes) override {
    *bytes = 0;
    Status status = env_.admit(FaultKind::SIZE, path());
    if (!status) return status;
    return base_->size(bytes);
  }
  Status truncate(uint64_t length) override {
    Status status = env_.admit(FaultKind::TRUNCATE, path());
    if (!status) return status;
    env_.recordWrite(path());
    return base_->truncate(length);
  }
  Status zeroRange(uint64_t offset, uint64_t length) override {
    Status status = env_.admit(FaultKind::WRITE, path());
    if (!status) return status;
    env_.recordWrite(path());
    return base_->zeroRange(offset, length);
  }
  Status sync() override {
    Status status = env_.admit(FaultKind::SYNC, path());
    if (!status) return status;
    status = base_->sync();
    if (status) env_.recordSynced(path());
    return status;
  }
  Status close() override {
    Status status = env_.admit(FaultKind::CLOSE, path());
    if (!status) return status;
    return base_->close();
  }
  const std::string& path() const override { return base_->path(); }

 private:
  FaultInjectionEnv& env_;
  std::unique_ptr<PageFile> base_;
};

class FaultyWritableFile final : public WritableFile {
 public:
  FaultyWritableFile(FaultInjectionEnv& env, std::unique_ptr<WritableFile> base, std::string path)
      : env_(env), base_(std::move(base)), path_(std::move(path)) {}

  Status append(const void* bytes, std::size_t length) override {
    Status status = env_.admit(FaultKind::WRITE, path_);
    if (!status) return status;
    return base_->append(bytes, length);
  }
  Status flush() override {
    Status status = env_.admit(FaultKind::FLUSH, path_);
    if (!status) return status;
    return base_->flush();
  }
  Status sync() override {
    Status status = env_.admit(FaultKind::SYNC, path_);
    if (!status) return status;
    status = base_->sync();
    if (status) env_.recordSynced(path_);
    return status;
  }
  Status close() override {
    Status status = env_.admit(FaultKind::CLOSE, path_);
    if (!status) return status;
    return base_->close();
  }

 private:
  FaultInjectionEnv& env_;
  std::unique_ptr<WritableFile> base_;
  std::string path_;
};

}  // namespace

FaultInjectionEnv::~FaultInjectionEnv() { interceptAllocations(false); }

void FaultInjectionEnv::interceptAllocations(bool on) {
  if (on) {
    AllocationGate::install(&gate_);
  } else if (AllocationGate::installed() == &gate_) {
    AllocationGate::install(nullptr);
  }
}

bool FaultInjectionEnv::Gate::refuse(std::size_t) {
  return !env_.admit(FaultKind::ALLOCATE, "allocation").isOk();
}

void FaultInjectionEnv::traceCalls(bool on) {
  std::lock_guard lock(mutex_);
  tracing_ = on;
}

std::vector<FaultInjectionEnv::Call> FaultInjectionEnv::takeTrace() {
  std::lock_guard lock(mutex_);
  std::vector<Call> calls;
  calls.swap(trace_);
  return calls;
}

void FaultInjectionEnv::failAt(FaultKind kind, uint64_t nth, int error, bool persistent) {
  std::lock_guard lock(mutex_);
  const std::size_t i = indexOf(kind);
  armings_[i] = Arming{counts_[i] + (nth == 0 ? 1 : nth), error, persistent, false};
}

void FaultInjectionEnv::crashAt(FaultKind kind, uint64_t nth) {
  std::lock_guard lock(mutex_);
  const std::size_t i = indexOf(kind);
  armings_[i] = Arming{counts_[i] + (nth == 0 ? 1 : nth), EIO, false, true};
}

void FaultInjectionEnv::clearFaults() {
  std::lock_guard lock(mutex_);
  armings_ = {};
  crashed_ = false;
}

bool FaultInjectionEnv::crashed() const {
  std::lock_guard lock(mutex_);
  return crashed_;
}

uint64_t FaultInjectionEnv::count(FaultKind kind) const {
  std::lock_guard lock(mutex_);
  return counts_[indexOf(kind)];
}

void FaultInjectionEnv::resetCounts() {
  std::lock_guard lock(mutex_);
  // Armed faults keep their distance from the present count.
  for (std::size_t i = 0; i < FAULT_KIND_COUNT; ++i) {
    if (armings_[i].trigger != 0) armings_[i].trigger -= counts_[i];
    counts_[i] = 0;
  }
}

Status FaultInjectionEnv::admit(FaultKind kind, const std::string& path) {
  std::lock_guard lock(mutex_);
  const std::size_t i = indexOf(kind);
  const uint64_t n = ++counts_[i];
  if (tracing_) trace_.push_back(Call{kind, path});
  if (crashed_ && kind != FaultKind::ALLOCATE) return Status::fromErrno(EIO, path);
  Arming& arming = armings_[i];
  if (arming.trigger == 0 || n < arming.trigger) return Status::ok();
  if (arming.crash) {
    crashed_ = true;
    arming = Arming{};
    return Status::fromErrno(EIO, path);
  }
  const int error = arming.error;
  if (!arming.persistent) arming = Arming{};
  return Status::fromErrno(error, path);
}

void FaultInjectionEnv::recordWrite(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (durable_.count(path) != 0) return;
  }
  std::optional<std::string> content;
  if (base_.fileExists(path)) {
    content.emplace();
    if (!base_.readWholeFile(path, &*content)) content.reset();
  }
  std::lock_guard lock(mutex_);
  durable_.emplace(path, std::move(content));
}

void FaultInjectionEnv::recordSynced(const std::string& path) {
  std::string content;
  if (!base_.readWholeFile(path, &content)) return;
  std::lock_guard lock(mutex_);
  durable_[path] = std::move(content);
}

Status FaultInjectionEnv::dropUnsyncedData() {
  std::map<std::string, std::optional<std::string>> durable;
  {
    std::lock_guard lock(mutex_);
    durable.swap(durable_);
  }
  Status result;
  for (const auto& [path, content] : durable) {
    Status status;
    if (!content) {
      if (base_.fileExists(path)) status = base_.deleteFile(path);
    } else {
      std::unique_ptr<WritableFile> file;
      status = base_.openWritableFile(path, false, &file);
      if (status) status = file->append(content->data(), content->size());
      if (status) status = file->close();
    }
    if (!status && result) result = std::move(status);
  }
  return result;
}

Status FaultInjectionEnv::openPageFile(const std::string& path, OpenMode mode,
                                       std::unique_ptr<PageFile>* file) {
  file->reset();
  Status status = admit(FaultKind::OPEN, path);
  if (!status) return status;
  if (mode == OpenMode::CREATE_ALWAYS) recordWrite(path);
  std::unique_ptr<PageFile> base;
  status = base_.openPageFile(path, mode, &base);
  if (status) *file = std::make_unique<FaultyPageFile>(*this, std::move(base));
  return status;
}

Status FaultInjectionEnv::openWritableFile(const std::string& path, bool append,
                                           std::unique_ptr<WritableFile>* file) {
  file->reset();
  Status status = admit(FaultKind::OPEN, path);
  if (!status) return status;
  recordWrite(path);
  std::unique_ptr<WritableFile> base;
  status = base_.openWritableFile(path, append, &base);
  if (status) *file = std::make_unique<FaultyWritableFile>(*this, std::move(base), path);
  return status;
}

Status FaultInjectionEnv::readWholeFile(const std::string& path, std::string* content) {
  Status status = admit(FaultKind::READ, path);
  if (!status) return status;
  return base_.readWholeFile(path, content);
}

Status FaultInjectionEnv::renameFile(const std::string& from, const std::string& to) {
  Status status = admit(FaultKind::RENAME, from);
  if (!status) return status;
  status = base_.renameFile(from, to);
  if (!status) return status;
  // The file now at `to` is the one that was at `from`, with what is kept for it.
  std::lock_guard lock(mutex_);
  auto kept = durable_.find(from);
  if (kept == durable_.end()) {
    durable_.erase(to);
  } else {
    durable_[to] = std::move(kept->second);
    durable_.erase(from);
  }
  return status;
}

Status FaultInjectionEnv::deleteFile(const std::string& path) {
  Status status = admit(FaultKind::DELETE, path);
  if (!status) return status;
  status = base_.deleteFile(path);
  if (status) {
    std::lock_guard lock(mutex_);
    durable_.erase(path);
  }
  return status;
}

bool FaultInjectionEnv::fileExists(const std::string& path) { return base_.fileExists(path); }

Status FaultInjectionEnv::fileSize(const std::string& path, uint64_t* bytes) {
  *bytes = 0;
  Status status = admit(FaultKind::SIZE, path);
  if (!status) return status;
  return base_.fileSize(path, bytes);
}

Status FaultInjectionEnv::truncateFile(const std::string& path, uint64_t length) {
  Status status = admit(FaultKind::TRUNCATE, path);
  if (!status) return status;
  recordWrite(path);
  return base_.truncateFile(path, length);
}

Status FaultInjectionEnv::createDirectory(const std::string& path) {
  Status status = admit(FaultKind::CREATE_DIRECTORY, path);
  if (!status) return status;
  return base_.createDirectory(path);
}

Status FaultInjectionEnv::syncDirectory(const std::string& path) {
  Status status = admit(FaultKind::SYNC_DIRECTORY, path);
  if (!status) return status;
  return base_.syncDirectory(path);
}

Status FaultInjectionEnv::listDirectory(const std::string& directory, const std::string& pattern,
                                        std::vector<std::string>* names) {
  names->clear();
  Status status = admit(FaultKind::LIST_DIRECTORY, directory);
  if (!status) return status;
  return base_.listDirectory(directory, pattern, names);
}

}  // namespace dovrel::platform
