// FileList: the names (not paths) of the files in a directory that begin with a prefix or
// end with a suffix, as the platform's directory search returns them (sorted bytewise).
// Used by the table set on the thread that runs queries and at start-up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dovrel {

class FileList {
 public:
  // Neither a prefix nor a suffix may hold '*', '?', '\', '/' or '|' (fatal otherwise;
  // callers pass table names). A failed search is DiskOrMemoryError
  // "Ошибка чтения каталога " + directory.
  static FileList byPrefix(const std::string& directory, std::string_view prefix);
  static FileList bySuffix(const std::string& directory, std::string_view suffix);

  const std::vector<std::string>& names() const { return names_; }

 private:
  FileList(const std::string& directory, const std::string& pattern);

  std::vector<std::string> names_;
};

}  // namespace dovrel
