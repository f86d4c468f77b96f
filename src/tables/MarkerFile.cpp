// The marker files of table creation, drop and commit. Query thread or start-up.
#include "tables/MarkerFile.h"

#include <memory>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "platform/Env.h"

namespace dovrel {

namespace {

// Zero bytes count as blanks: a marker torn by a crash may hold them instead of its text.
bool isSpace(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\v' || c == '\f' || c == '\0';
}

[[noreturn]] void fail(std::string_view text, std::string_view name) {
  std::string message(text);
  message += name;
  throw DiskOrMemoryError(std::move(message));
}

}  // namespace

MarkerFile::MarkerFile(std::string directory, std::string_view name)
    : directory_(std::move(directory)), name_(name), path_(directory_ + name_) {}

bool MarkerFile::exists() const { return platform::Env::current().fileExists(path_); }

void MarkerFile::write(std::string_view content) const {
  platform::Env& env = platform::Env::current();
  std::unique_ptr<platform::WritableFile> file;
  if (!env.openWritableFile(path_, false, &file).isOk()) {
    fail("Ошибка открытия на запись "_cp866, name_);
  }
  if (!file->append(content.data(), content.size()).isOk() || !file->sync().isOk()) {
    fail("Ошибка записи в "_cp866, name_);
  }
  if (!file->close().isOk()) fail("Ошибка закрытия "_cp866, name_);
  // The marker's directory entry must be durable too, or a power loss could lose it
  // while the work it guards has reached the disk.
  if (!env.syncDirectory(directory_).isOk()) fail("Ошибка записи в "_cp866, name_);
}

std::vector<std::string> MarkerFile::readNames() const {
  std::string content;
  if (!platform::Env::current().readWholeFile(path_, &content).isOk()) {
    fail("Ошибка чтения "_cp866, name_);
  }
  std::vector<std::string> names;
  std::size_t at = 0;
  for (;;) {
    while (at < content.size() && isSpace(content[at])) ++at;
    if (at == content.size()) break;
    std::size_t end = at;
    while (end < content.size() && !isSpace(content[end])) ++end;
    std::string_view word(content.data() + at, end - at);
    // A marker names the files to delete: never let it reach beyond one table's names.
    if (!isTableName(word)) fail("Ошибка чтения "_cp866, name_);
    names.emplace_back(word);
    at = end;
  }
  return names;
}

void MarkerFile::remove(std::string_view failure) const {
  platform::Env& env = platform::Env::current();
  if (!env.deleteFile(path_).isOk() || !env.syncDirectory(directory_).isOk()) {
    throw DiskOrMemoryError(failure);
  }
}

bool MarkerFile::isMarkerName(std::string_view fileName) {
  return fileName == IN_CREATE || fileName == IN_COMMIT;
}

bool MarkerFile::isTableName(std::string_view word) {
  if (word.empty() || word.size() > 31) return false;
  if (word[0] >= '0' && word[0] <= '9') return false;
  for (char c : word) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace dovrel
