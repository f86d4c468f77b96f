// Instance paths from the program path. Pure text work; any thread.
#include "server/ServerPaths.h"

namespace dovrel::server {

ServerPaths ServerPaths::fromProgramPath(std::string_view programPath) {
  ServerPaths paths;
  const std::size_t slash = programPath.rfind('/');
  if (slash != std::string_view::npos)
    paths.baseDir = std::string(programPath.substr(0, slash + 1));
  paths.dataDir = paths.baseDir + "DATA/";
  paths.logDir = paths.baseDir + "LOGS/";
  return paths;
}

std::string ServerPaths::besideData(std::string_view fileName) const {
  return baseDir + std::string(fileName);
}

}  // namespace dovrel::server
