// The one place where import and export turn values between the UTF-8 of JSON lines and
// the bytes the server stores, and commands into the bytes sent. Values follow the rule of
// the rest of the client (TextEncoding.h): code page 1251, or 866 with --values-866.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

#include "client/TextEncoding.h"

namespace dovrel::client {

// The server's bytes for the UTF-8 text `utf8`. False, with `error` naming the character
// and its position (in characters, from 1), when the code page cannot hold a character or
// the text is not UTF-8.
bool valueToServer(std::string_view utf8, ValueCodePage values, std::string* out,
                   std::string* error);
// A stored value shown as UTF-8.
std::string valueFromServer(std::string_view bytes, ValueCodePage values);
// A command typed in UTF-8 (a --where condition) as the bytes to send; throws ClientError
// as encodeCommand does.
std::string commandToServer(std::string_view utf8, ValueCodePage values);

}  // namespace dovrel::client
