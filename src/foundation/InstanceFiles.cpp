// Instance paths. Pure text work; any thread.
#include "foundation/InstanceFiles.h"

namespace dovrel::instance {

std::string baseDirectoryOf(std::string_view programPath) {
  const std::size_t slash = programPath.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(programPath.substr(0, slash + 1));
}

std::string dataDirectory(std::string_view baseDir) {
  std::string path(baseDir);
  path += DATA_DIRECTORY;
  path += '/';
  return path;
}

std::string logDirectory(std::string_view baseDir) {
  std::string path(baseDir);
  path += LOG_DIRECTORY;
  path += '/';
  return path;
}

std::string besideData(std::string_view baseDir, std::string_view fileName) {
  std::string path(baseDir);
  path += fileName;
  return path;
}

}  // namespace dovrel::instance
