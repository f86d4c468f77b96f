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

// What a load or a save returns: RF_DONE, or the step that failed. ReliableFile::failureText
// gives the operator's text for a failure; the callers put the server into its error state
// with it.
enum [[nodiscard]] ReliableFileResult : int{
    RF_DONE = 0,
    RF_CANNOT_READ = 1,        // neither the file nor its ".bak" could be read
    RF_CANNOT_SET_ASIDE = 2,   // the file could not be renamed to its ".bak"
    RF_CANNOT_CREATE_NEW = 3,  // the ".new" file could not be opened for writing
    RF_WRITE_FAILED = 4,       // writing or syncing ".new" failed, or it read back different
    RF_CANNOT_READ_NEW = 5,    // the ".new" file could not be read back
    RF_CANNOT_REPLACE = 6,     // ".new" could not take the file's name durably
};

class ReliableFile : public Object {
 public:
  // Stores the path; touches no file.
  explicit ReliableFile(std::string path);

  // Appends the file's whole content to `buffer`. When the file is missing, its ".bak" is
  // read instead and renamed back to the file (a save was interrupted). RF_CANNOT_READ,
  // with `buffer` and the files unchanged, when neither can be read.
  ReliableFileResult load(TextBuffer& buffer);
  // Replaces the file's content durably. The file must exist: saving over a missing file
  // fails and leaves nothing behind. After any failure the next load() finds the old
  // content (or the new one, when only the directory sync failed).
  ReliableFileResult save(TextView content);
  // The text for a failure of load() or save() on this file, naming the file the failed
  // step concerned.
  std::string failureText(ReliableFileResult result) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace dovrel
