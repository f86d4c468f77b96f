// Whole-file replacement through a staged copy and a rename.
#include "secmigrate/StagedFile.h"

#include <utility>

#include "foundation/Assert.h"

namespace dovrel::secmigrate {

StagedFile::StagedFile(std::string path) : path_(std::move(path)), stagedPath_(path_ + ".tmp") {}

StagedFile::~StagedFile() {
  if (committed_ || !opened_) return;
  file_.reset();  // closes it before it is unlinked
  (void)platform::Env::current().deleteFile(stagedPath_);
}

platform::Status StagedFile::open() {
  platform::Status status =
      platform::Env::current().openWritableFile(stagedPath_, /*append=*/false, &file_);
  if (status) opened_ = true;
  return status;
}

platform::Status StagedFile::commit(std::string_view content) {
  DOVREL_ASSERT(file_ != nullptr && !committed_);
  platform::Env& env = platform::Env::current();
  if (platform::Status s = file_->append(content.data(), content.size()); !s) return s;
  if (platform::Status s = file_->sync(); !s) return s;
  if (platform::Status s = file_->close(); !s) return s;
  file_.reset();
  if (platform::Status s = env.renameFile(stagedPath_, path_); !s) return s;
  committed_ = true;
  const std::string directory = platform::directoryOf(path_);
  (void)env.syncDirectory(directory.empty() ? "." : directory);
  return platform::Status::ok();
}

}  // namespace dovrel::secmigrate
