// The answer writer. Query thread only.
#include "query/Answer.h"

#include "foundation/TextBuffer.h"

namespace dovrel::query {

namespace {

constexpr std::string_view OK_LINE = "OK\r\n";

}  // namespace

void writeOk(TextBuffer& answer) { answer.append(OK_LINE); }

void writeOk(TextBuffer& answer, TextView payload) {
  answer.append(OK_LINE);
  answer.append(payload);
}

void writeOkCounted(TextBuffer& answer, TextView payload) {
  answer.append(OK_LINE);
  answer.appendCounted(payload);
}

void writeNumberLine(TextBuffer& answer, uint32_t number) {
  answer.appendDecimal(number);
  answer.append(ANSWER_LINE_END);
}

}  // namespace dovrel::query
