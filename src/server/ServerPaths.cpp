// Instance paths from the program path. Pure text work; any thread.
#include "server/ServerPaths.h"

#include "foundation/InstanceFiles.h"

namespace dovrel::server {

ServerPaths ServerPaths::fromProgramPath(std::string_view programPath) {
  ServerPaths paths;
  paths.baseDir = instance::baseDirectoryOf(programPath);
  paths.dataDir = instance::dataDirectory(paths.baseDir);
  paths.logDir = instance::logDirectory(paths.baseDir);
  return paths;
}

std::string ServerPaths::besideData(std::string_view fileName) const {
  return instance::besideData(baseDir, fileName);
}

}  // namespace dovrel::server
