// Where an instance keeps its files, derived once from the program's own path at start-up
// (the names come from foundation/InstanceFiles.h).
// Built on the main thread before any other thread starts; read-only afterwards.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::server {

struct ServerPaths {
  std::string baseDir;  // the program's directory with its final '/', or "" (current dir)
  std::string dataDir;  // baseDir + "DATA/"
  std::string logDir;   // baseDir + "LOGS/"

  // The base directory is the program path up to and including its last '/'. A symbolic
  // link to the binary inside an instance directory therefore serves that directory.
  static ServerPaths fromProgramPath(std::string_view programPath);

  // A file beside the data directory (security.txt, network_permissions.txt, critical.txt):
  // joined lexically to the base directory, never through "DATA/..", which fails when
  // DATA/ is missing and leads elsewhere when it is a symbolic link.
  std::string besideData(std::string_view fileName) const;
};

}  // namespace dovrel::server
