// The server's command line: at most one "-port:" with a port from 1 to 65535 in canonical
// decimal form, at most one "-address:" with the IPv4 address to listen on, or "--help".
// Called once by main, on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dovrel::server {

inline constexpr int DEFAULT_PORT = 8888;
// Every interface.
inline constexpr uint32_t ANY_ADDRESS = 0;

struct CommandLineOptions {
  int port = DEFAULT_PORT;
  // Host order, the first octet most significant.
  uint32_t address = ANY_ADDRESS;
  // "--help": print usageText() and end with status 0; nothing else is looked at.
  bool help = false;
};

// The options named by the arguments that follow the program name. A refused command line
// throws TextError with the console message (code page 866, no line feed), which names the
// offending argument where the message has one. Arguments are checked in order, each
// completely before the next.
CommandLineOptions parseCommandLine(const std::vector<std::string>& arguments);

// The port alone, as parseCommandLine gives it.
int parsePortArguments(const std::vector<std::string>& arguments);

// What "--help" prints (code page 866, ends with a line feed).
std::string usageText();

}  // namespace dovrel::server
