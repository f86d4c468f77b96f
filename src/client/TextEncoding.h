// The code pages of dovrel-client's text: what the user types (UTF-8) into the bytes the
// server reads, and an answer's bytes back into UTF-8. String values travel in code page
// 1251, the document-text code page of the index normaliser; everything else in code page
// 866, the code page of names and messages. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::client {

// The code page of string values (quoted and counted strings). VALUES_866 is for instances
// whose data were written in code page 866.
enum class ValueCodePage { VALUES_1251, VALUES_866 };

// The bytes to send for a typed command. Strings are found as the server's scanner finds
// them: '…' and "…" up to the same quote, and #n# followed by n characters then '#' (the
// user counts characters; each becomes one byte, so the count stays right). The string
// after the words "identified by" is a password and stays in code page 866, the code page
// of the login lines. Throws ClientError, naming the character (U+XXXX and itself) with
// its line and column in the command, for a character the target code page cannot hold or
// a byte that is not UTF-8; nothing is returned then, so nothing is sent.
std::string encodeCommand(std::string_view utf8, ValueCodePage values);

// An answer's text in UTF-8: the contents of counted strings (#n#…#) decoded from the
// value code page, with n the number of characters shown; the rest from code page 866.
// CR LF is shown as LF everywhere, and inside a counted string counts as one character.
// A '#' that does not open a complete counted string is plain text.
std::string decodeAnswer(std::string_view bytes, ValueCodePage values);

}  // namespace dovrel::client
