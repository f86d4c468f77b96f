// Whole-file saving through ".bak" and ".new". On disk the content is, at every moment, in
// the file itself or, while a save runs, in its ".bak", from which the next load recovers
// it; a ".new" left by a crash is ignored and replaced by the next save.
// Not thread-safe (see ReliableFile.h).
#include "storage/ReliableFile.h"

#include <cerrno>
#include <memory>
#include <string_view>

#include "foundation/Cp866.h"
#include "platform/Env.h"

namespace dovrel {

namespace {

std::string message(std::string_view before, const std::string& path, std::string_view after = {}) {
  std::string text(before);
  text += path;
  text += after;
  return text;
}

}  // namespace

ReliableFile::ReliableFile(std::string path) : path_(std::move(path)) {}

std::string ReliableFile::failureText(ReliableFileResult result) const {
  const std::string fresh = path_ + ".new";
  switch (result) {
    case RF_DONE:
      break;
    case RF_CANNOT_READ:
      return message("не удалось открыть "_cp866, path_, " на чтение"_cp866);
    case RF_CANNOT_SET_ASIDE:
      return message("не удалось переименовать "_cp866, path_, " при сохранении в него"_cp866);
    case RF_CANNOT_CREATE_NEW:
      return message("не удалось открыть "_cp866, fresh, " на запись"_cp866);
    case RF_WRITE_FAILED:
      return message("ошибка записи в "_cp866, fresh);
    case RF_CANNOT_READ_NEW:
      return message("не удалось открыть "_cp866, fresh, " на чтение"_cp866);
    case RF_CANNOT_REPLACE:
      return message("не удалось переименовать в "_cp866, path_);
  }
  return std::string();
}

ReliableFileResult ReliableFile::load(TextBuffer& buffer) {
  platform::Env& env = platform::Env::current();
  const std::string bak = path_ + ".bak";
  std::string content;
  platform::Status status = env.readWholeFile(path_, &content);
  bool fromBak = false;
  // Only a missing file sends us to ".bak". A file that exists but cannot be read may be
  // newer than a ".bak" left beside it, and renaming that ".bak" over it would lose it.
  if (!status && status.error() == ENOENT) {
    content.clear();
    status = env.readWholeFile(bak, &content);
    fromBak = true;
  }
  if (!status) return RF_CANNOT_READ;
  buffer.append(content.data(), content.size());
  if (fromBak) {
    (void)env.renameFile(bak, path_);
  } else {
    (void)env.deleteFile(bak);
  }
  return RF_DONE;
}

ReliableFileResult ReliableFile::save(TextView content) {
  platform::Env& env = platform::Env::current();
  const std::string bak = path_ + ".bak";
  const std::string fresh = path_ + ".new";
  if (!env.renameFile(path_, bak)) return RF_CANNOT_SET_ASIDE;

  std::unique_ptr<platform::WritableFile> out;
  if (!env.openWritableFile(fresh, false, &out)) return RF_CANNOT_CREATE_NEW;
  // The ".new" file must be on the disk before it takes the file's name; a write that the
  // system refuses is as bad as one that the read-back would find wrong.
  const bool written = out->append(content.pointer(), content.length()).isOk() &&
                       out->sync().isOk() && out->close().isOk();
  out.reset();
  if (!written) return RF_WRITE_FAILED;

  std::string readBack;
  if (!env.readWholeFile(fresh, &readBack)) return RF_CANNOT_READ_NEW;
  if (std::string_view(readBack) != content.view()) return RF_WRITE_FAILED;

  // The directory is synced before ".bak" goes, so a power loss cannot take the rename
  // while keeping the deletion.
  if (!env.renameFile(fresh, path_) || !env.syncDirectory(platform::directoryOf(path_))) {
    return RF_CANNOT_REPLACE;
  }
  (void)env.deleteFile(bak);
  return RF_DONE;
}

}  // namespace dovrel
