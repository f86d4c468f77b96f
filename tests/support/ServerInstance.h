// A dovrel server in a temporary instance directory for end-to-end tests: DATA/, LOGS/ and
// a symbolic link to the built binary (from DOVREL_BIN_DIR), started on a free port with
// its console captured, killed and removed at the end. Also runs the programs to their end
// with captured output. One test thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace dovrel::e2e {

// What a program run to its end left behind.
struct ProgramRun {
  int status = -1;     // exit status, or -1 when it did not end in time (it was killed)
  std::string output;  // standard output
  std::string errors;  // standard error
};

class ServerInstance {
 public:
  // Creates the instance directory with the files of InstanceFiles.h. The binaries'
  // directory is DOVREL_BIN_DIR; binDir() is empty when it is not set (tests then skip).
  ServerInstance();
  // Kills a running server (SIGKILL) and removes the directory.
  ~ServerInstance();
  ServerInstance(const ServerInstance&) = delete;
  ServerInstance& operator=(const ServerInstance&) = delete;

  static std::string binDir();
  const std::string& directory() const { return directory_; }
  // A TCP port nobody listens on right now.
  static uint16_t freePort();

  // Starts dovrel through the instance's link with "-port:<port>" (a free port unless
  // given) and waits until it accepts connections; false when it does not within 10 s.
  bool start(uint16_t port = 0);
  uint16_t port() const { return port_; }
  bool running() const { return pid_ > 0; }
  // Sends `signal` and waits for the end; the exit status, or -1.
  int stop(int signal = 9);
  // Waits for the server to end by itself; the exit status, or -1 after `milliseconds`.
  int waitForExit(int milliseconds);
  // The server's console so far (UTF-8, as it printed it).
  std::string console() const;

  // Runs the instance's dovrel with these arguments to its end (at most `milliseconds`).
  ProgramRun runServer(const std::vector<std::string>& arguments, int milliseconds = 10000);
  // Runs dovrel-client with these arguments, standard input and extra environment.
  ProgramRun runClient(const std::vector<std::string>& arguments, const std::string& input = "",
                       const std::map<std::string, std::string>& environment = {},
                       int milliseconds = 20000);
  // dovrel-client on a pseudo-terminal (its standard input, output and error), as a user at
  // a terminal runs it: `lines` are typed one at a time, each after `pauseMs`, and then the
  // end of input. `output` holds everything the terminal showed; `errors` stays empty.
  ProgramRun runClientInTerminal(const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& lines,
                                 const std::map<std::string, std::string>& environment = {},
                                 int pauseMs = 300, int milliseconds = 20000);

 private:
  ProgramRun run(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& input, const std::map<std::string, std::string>& environment,
                 int milliseconds);

  testsupport::InstanceDir dir_{"/tmp", true};  // removed after the server is stopped
  std::string directory_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  int runs_ = 0;
};

}  // namespace dovrel::e2e
