// The one place where import and export turn values between the UTF-8 of JSON lines and
// the bytes the server stores, and commands into the bytes sent. Today every value goes
// out and comes back in code page 866, as the rest of the client sends it; when the client
// sends string values in code page 1251, these three functions are what to switch.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::client {

// The server's bytes for the UTF-8 text `utf8`. False, with `error` naming the character
// and its position (in characters, from 1), when the code page cannot hold a character.
bool valueToServer(std::string_view utf8, std::string* out, std::string* error);
// A stored value shown as UTF-8.
std::string valueFromServer(std::string_view bytes);
// A command typed in UTF-8 (a --where condition) as the bytes to send.
std::string commandToServer(std::string_view utf8);

}  // namespace dovrel::client
