// The conversion of an old installation's user list and tables into the server's security
// file. Runs on the calling thread; prints its messages through consolePrint and does all
// file access through platform::Env::current().
#pragma once

#include <string>

namespace dovrel::secmigrate {

// Reads "users.txt" and the ".structure" file names of the data directory ("DATA/", or
// "data/" when "DATA/" does not exist) in `workDir` and writes "security.txt" there.
// Returns the process exit status: 0 after a clean run (which prints nothing), 1 after an
// error, whose message has then been printed without a line feed. On an error an earlier
// "security.txt" stays as it was and no partial file is left behind.
int migrateSecurity(const std::string& workDir);

}  // namespace dovrel::secmigrate
