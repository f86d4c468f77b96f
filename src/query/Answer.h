// The one writer of answers that are not refusals: every command opens its answer here with
// "OK" CR LF, and the shapes that follow it (a payload as it is, a counted payload, number
// lines) are written by the same functions. Refusals never pass here: they leave as
// exceptions and the parser turns them into text. Query thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/TextView.h"

namespace dovrel {
class TextBuffer;
}  // namespace dovrel

namespace dovrel::query {

// The end of every line of an answer.
constexpr std::string_view ANSWER_LINE_END = "\r\n";

// "OK" CR LF.
void writeOk(TextBuffer& answer);
// "OK" CR LF, then `payload` as it is.
void writeOk(TextBuffer& answer, TextView payload);
// "OK" CR LF, then `payload` in the counted form (#length#bytes).
void writeOkCounted(TextBuffer& answer, TextView payload);
// A decimal number and CR LF: a line of the command's data after the "OK" line.
void writeNumberLine(TextBuffer& answer, uint32_t number);

}  // namespace dovrel::query
