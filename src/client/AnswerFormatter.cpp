// Answer display. Pure functions; any thread.
#include "client/AnswerFormatter.h"

#include "client/SearchAnswer.h"

namespace dovrel::client {

std::string formatAnswer(std::string_view answerText, bool search, bool raw, ValueCodePage values) {
  if (search) {
    SearchAnswer decoded;
    std::string error;
    if (decodeSearchAnswer(answerText, &decoded, &error)) {
      std::string out = "OK\n" + decoded.countLine + "\n";
      for (uint32_t document : decoded.documents) out += std::to_string(document) + "\n";
      return out;
    }
    // Not a well-formed search answer (an ERROR, for one): shown as text below.
  }
  if (raw) return std::string(answerText);
  std::string out = decodeAnswer(answerText, values);
  if (!out.ends_with('\n')) out += '\n';
  return out;
}

}  // namespace dovrel::client
