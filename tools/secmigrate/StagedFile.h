// A whole file written under a temporary name and put in place by a rename only when it is
// complete, so a failed run neither leaves a half-written file nor destroys the earlier
// one. Used by one thread; all file access goes through platform::Env::current().
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/Env.h"

namespace dovrel::secmigrate {

class StagedFile {
 public:
  // `path` is where the finished file belongs; the content is staged at path + ".tmp".
  explicit StagedFile(std::string path);
  // Removes the staged file unless commit() succeeded; errors are ignored.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Creates (or truncates) the staged file. Call once, before commit().
  platform::Status open();
  // Writes `content`, makes it durable and renames the staged file over the final path.
  // On failure the final path is untouched and the staged file is removed later by the
  // destructor. The directory is synced after the rename on a best-effort basis: the file
  // is whole and in place by then, so a failed directory sync does not fail the commit.
  platform::Status commit(std::string_view content);

  const std::string& stagedPath() const { return stagedPath_; }

 private:
  std::string path_;
  std::string stagedPath_;
  std::unique_ptr<platform::WritableFile> file_;
  bool opened_ = false;
  bool committed_ = false;
};

}  // namespace dovrel::secmigrate
