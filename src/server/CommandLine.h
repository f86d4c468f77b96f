// The server's command line: nothing, or one argument "-port:" and a port from 1 to 65535
// in canonical decimal form. Called once by main, on the main thread.
#pragma once

#include <string>
#include <vector>

namespace dovrel::server {

inline constexpr int DEFAULT_PORT = 8888;

// The port named by the arguments that follow the program name (DEFAULT_PORT when there are
// none). A refused command line throws TextError with the console message (code page 866,
// no line feed), which names the offending argument where the message has one.
int parsePortArguments(const std::vector<std::string>& arguments);

}  // namespace dovrel::server
