// Value encodings of import and export. Pure; any thread.
#include "client/TransferText.h"

#include <algorithm>

#include "foundation/Cp866.h"

namespace dovrel::client {

namespace {

// The byte length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

bool valueToServer(std::string_view utf8, std::string* out, std::string* error) {
  // utf8ToCp866 writes '?' for a character it cannot hold; converting each character back
  // shows which one was lost, so nothing is stored damaged without a word.
  out->clear();
  std::size_t position = 1;
  for (std::size_t i = 0; i < utf8.size(); ++position) {
    const std::size_t length = std::min(sequenceLength(static_cast<unsigned char>(utf8[i])),
                                        utf8.size() - i);
    const std::string_view character = utf8.substr(i, length);
    const std::string converted = utf8ToCp866(character);
    if (converted.size() != 1 || cp866ToUtf8(converted) != character) {
      *error = "the character '" + std::string(character) + "' at position " +
               std::to_string(position) + " cannot be stored in code page 866";
      return false;
    }
    *out += converted;
    i += length;
  }
  return true;
}

std::string valueFromServer(std::string_view bytes) { return cp866ToUtf8(bytes); }

std::string commandToServer(std::string_view utf8) { return utf8ToCp866(utf8); }

}  // namespace dovrel::client
