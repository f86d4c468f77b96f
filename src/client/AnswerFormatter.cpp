// Answer display. Pure functions; any thread.
#include "client/AnswerFormatter.h"

#include "client/SearchAnswer.h"
#include "foundation/Cp866.h"

namespace dovrel::client {

std::string formatAnswer(std::string_view answerText, bool search, bool raw) {
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
  const std::string utf8 = cp866ToUtf8(answerText);
  std::string out;
  out.reserve(utf8.size() + 1);
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
    out += utf8[i];
  }
  if (!out.ends_with('\n')) out += '\n';
  return out;
}

}  // namespace dovrel::client
