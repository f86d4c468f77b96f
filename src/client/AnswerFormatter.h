// How dovrel-client shows an answer. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

#include "client/TextEncoding.h"

namespace dovrel::client {

// The text printed for one answer. A search answer (`search`) is shown as "OK", its count
// line, and one document number per line in decimal. Other answers are converted to UTF-8
// as decodeAnswer does (counted strings from the `values` code page, the rest from code
// page 866, "\r\n" outside strings shown as "\n") with a final line feed added when
// missing; with `raw` their bytes are kept exactly.
std::string formatAnswer(std::string_view answerText, bool search, bool raw,
                         ValueCodePage values = ValueCodePage::VALUES_1251);

}  // namespace dovrel::client
