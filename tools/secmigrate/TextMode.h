// The line ends of files that the tool reads and writes in text mode: the stored bytes keep
// CR LF line ends, the program sees single line feeds. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::secmigrate {

// What a text-mode read yields: every CR LF becomes one line feed; a lone CR or LF stays.
std::string fromTextMode(std::string_view stored);

// What a text-mode write stores: every line feed becomes CR LF.
std::string toTextMode(std::string_view text);

}  // namespace dovrel::secmigrate
