// How dovrel-client shows an answer. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::client {

// The text printed for one answer. A search answer (`search`) is shown as "OK", its count
// line, and one document number per line in decimal. Other answers are converted from code
// page 866 to UTF-8 with "\r\n" shown as "\n" and a final line feed added when missing;
// with `raw` their bytes are kept exactly.
std::string formatAnswer(std::string_view answerText, bool search, bool raw);

}  // namespace dovrel::client
