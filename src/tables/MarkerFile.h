// MarkerFile: one of the small files in the data directory that make table creation, drop
// and commit safe against a crash ("in_create.txt", "in_commit.txt"). Writing and deleting
// one is a durability barrier: the file and the directory are synced, so the marker is on
// disk before the work it guards begins, and gone for good before the work after it.
// Used by the thread that runs queries and by the start-up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dovrel {

class MarkerFile {
 public:
  static constexpr std::string_view IN_CREATE = "in_create.txt";
  static constexpr std::string_view IN_COMMIT = "in_commit.txt";

  // `directory` ends with its separator (or is empty for the current directory).
  MarkerFile(std::string directory, std::string_view name);

  const std::string& name() const { return name_; }
  bool exists() const;
  // Creates (or truncates) the marker with `content`, syncs it and the directory.
  // DiskOrMemoryError "Ошибка открытия на запись " + name, "Ошибка записи в " + name
  // (also when a sync fails) or "Ошибка закрытия " + name.
  void write(std::string_view content) const;
  // The table names the marker holds, words separated by white space, in order (none for
  // an empty marker). A word that is not a table name — 1 to 31 lower-case letters,
  // digits and underscores, not starting with a digit — is DiskOrMemoryError
  // "Ошибка чтения " + name, as is a failed read.
  std::vector<std::string> readNames() const;
  // Deletes the marker and syncs the directory; `failure` is the DiskOrMemoryError text.
  void remove(std::string_view failure) const;

  // True for a name the scanner could have produced for a table.
  static bool isTableName(std::string_view word);
  // True for the name of either marker. Tables "in_create" and "in_commit" have file names
  // that begin like the markers' ("in_create." + "txt"), so the listing of a table's
  // files must leave the markers out: they are no table's files.
  static bool isMarkerName(std::string_view fileName);

 private:
  std::string directory_;
  std::string name_;
  std::string path_;
};

}  // namespace dovrel
