// Parsing of "-port:N", "-address:A.B.C.D" and "--help". The port is read the way a width-5
// decimal conversion reads it, then printed back: only the canonical form (no sign, blank,
// leading zero or trailing byte) matches its own print. The address takes four decimal
// octets of 0 to 255 without leading zeros, and nothing else. Main thread only.
#include "server/CommandLine.h"

#include <cstdio>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel::server {

namespace {

constexpr std::string_view PORT_PREFIX = "-port:";
constexpr std::string_view ADDRESS_PREFIX = "-address:";
constexpr std::string_view HELP = "--help";

[[noreturn]] void refuse(std::string_view message, const std::string& argument) {
  std::string text(message);
  text += argument;
  throw TextError(std::move(text));
}

// The dotted IPv4 text after the prefix; false for anything else.
bool parseAddress(std::string_view text, uint32_t* address) {
  uint32_t value = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    uint32_t number = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
      number = number * 10 + static_cast<uint32_t>(text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || number > 255 || (digits > 1 && text.front() == '0')) {
      return false;
    }
    text.remove_prefix(digits);
    value = value << 8 | number;
  }
  if (!text.empty()) return false;
  *address = value;
  return true;
}

}  // namespace

int parsePortArguments(const std::vector<std::string>& arguments) {
  return parseCommandLine(arguments).port;
}

std::string usageText() {
  return std::string(
      "Использование: dovrel [-port:ПОРТ] [-address:АДРЕС]\n"
      "  -port:ПОРТ      порт от 1 до 65535, по умолчанию 8888\n"
      "  -address:АДРЕС  адрес IPv4 для приёма соединений, например 127.0.0.1;\n"
      "                  по умолчанию все адреса (0.0.0.0)\n"
      "  --help          эта справка\n"
      "Каталог экземпляра - каталог программы: DATA/, LOGS/, security.txt,\n"
      "network_permissions.txt. SIGTERM и SIGINT завершают работу, как halt.\n"_cp866);
}

CommandLineOptions parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineOptions options;
  for (const std::string& argument : arguments) {
    if (argument == HELP) {
      options.help = true;
      return options;
    }
  }
  int& port = options.port;
  bool portSeen = false;
  bool addressSeen = false;
  for (const std::string& argument : arguments) {
    if (argument.compare(0, ADDRESS_PREFIX.size(), ADDRESS_PREFIX) == 0) {
      if (addressSeen) {
        throw TextError("Ошибка: более одного параметра командной строки вида -address:"_cp866);
      }
      if (!parseAddress(std::string_view(argument).substr(ADDRESS_PREFIX.size()),
                        &options.address)) {
        refuse("Ошибка: неверный формат адреса в параметре командной строки "_cp866, argument);
      }
      addressSeen = true;
      continue;
    }
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
  return options;
}

}  // namespace dovrel::server
