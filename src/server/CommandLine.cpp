// Parsing of "-port:N". The number is read the way a width-5 decimal conversion reads it,
// then printed back: only the canonical form (no sign, blank, leading zero or trailing
// byte) matches its own print. Main thread only.
#include "server/CommandLine.h"

#include <cstdio>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel::server {

namespace {

constexpr std::string_view PORT_PREFIX = "-port:";

[[noreturn]] void refuse(std::string_view message, const std::string& argument) {
  std::string text(message);
  text += argument;
  throw TextError(std::move(text));
}

}  // namespace

int parsePortArguments(const std::vector<std::string>& arguments) {
  int port = DEFAULT_PORT;
  bool portSeen = false;
  for (const std::string& argument : arguments) {
    if (argument.compare(0, PORT_PREFIX.size(), PORT_PREFIX) != 0) {
      refuse("Ошибка: неожиданный формат параметра командной строки "_cp866, argument);
    }
    if (portSeen) {
      throw TextError("Ошибка: более одного параметра командной строки вида -port:"_cp866);
    }
    int value = 0;
    // At most five characters, sign included, after optional blanks: no overflow possible.
    if (std::sscanf(argument.c_str(), "-port:%5d", &value) != 1) {
      refuse("Ошибка: неверный формат числа в параметре командной строки "_cp866, argument);
    }
    if (value < 1) {
      refuse("Ошибка: не положительное число в параметре командной строки "_cp866, argument);
    }
    if (value > 0xFFFF) {
      refuse("Ошибка: номер порта больше 65535 в параметре командной строки "_cp866, argument);
    }
    char canonical[16];
    const int printed = std::snprintf(canonical, sizeof canonical, "-port:%d", value);
    if (printed < 0 || printed >= static_cast<int>(sizeof canonical)) {
      throw TextError("Атака sprintf"_cp866);
    }
    if (argument != canonical) {
      refuse("Ошибка: неверный формат в параметре командной строки "_cp866, argument);
    }
    port = value;
    portSeen = true;
  }
  return port;
}

}  // namespace dovrel::server
