// Value encodings of import and export. Pure; any thread.
#include "client/TransferText.h"

#include "foundation/Cp866.h"

namespace dovrel::client {

bool valueToServer(std::string_view utf8, ValueCodePage values, std::string* out,
                   std::string* error) {
  const bool dos = values == ValueCodePage::VALUES_866;
  out->clear();
  out->reserve(utf8.size());
  std::size_t position = 1;
  for (std::size_t i = 0; i < utf8.size(); ++position) {
    const std::size_t start = i;
    const char32_t cp = decodeUtf8At(utf8, i);
    const int byte = dos ? cp866ByteOf(cp) : cp1251ByteOf(cp);
    if (byte < 0) {
      *error = "the character '" + std::string(utf8.substr(start, i - start)) + "' at position " +
               std::to_string(position) + " cannot be stored in code page " +
               (dos ? "866" : "1251");
      return false;
    }
    out->push_back(static_cast<char>(byte));
  }
  return true;
}

std::string valueFromServer(std::string_view bytes, ValueCodePage values) {
  return values == ValueCodePage::VALUES_866 ? cp866ToUtf8(bytes) : cp1251ToUtf8(bytes);
}

std::string commandToServer(std::string_view utf8, ValueCodePage values) {
  return encodeCommand(utf8, values);
}

}  // namespace dovrel::client
