// One small file saved whole, so that a crash at any moment leaves the old or the new
// content readable: the old version is kept as ".bak" and the new one is written as ".new",
// read back and compared before it takes the file's name. Not thread-safe: used under the
// parser's semaphore or on the main thread at start-up.
#pragma once

#include <string>

#include "foundation/Poolable.h"
#include "foundation/TextBuffer.h"
#include "foundation/TextView.h"

namespace dovrel {

class ReliableFile : public Object {
 public:
  // Stores the path; touches no file.
  explicit ReliableFile(std::string path);

  // Appends the file's whole content to `buffer`. When the file is missing, its ".bak" is
  // read instead and renamed back to the file (a save was interrupted). Throws
  // DiskOrMemoryError when neither can be read.
  void load(TextBuffer& buffer);
  // Replaces the file's content durably. The file must exist: saving over a missing file
  // fails and leaves nothing behind. Throws DiskOrMemoryError.
  void save(TextView content);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace dovrel
