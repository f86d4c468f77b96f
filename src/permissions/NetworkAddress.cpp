// Address texts of the network permissions. The reading is the formatted read of the C
// library over a zero-terminated copy, so the accepted and refused texts are exactly those
// of the format; every field has a width, so no value can overflow, and the text printed
// back goes into a std::string, never a fixed buffer.
#include "permissions/NetworkAddress.h"

#include <cstdio>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel::permissions {

std::string ipToText(uint32_t address) {
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

uint32_t ipFromText(std::string_view text) {
  // The copy ends at its first zero byte for the read, while the comparison below sees the
  // whole text, so a zero byte inside the text is refused as trailing data.
  const std::string copy(text);
  int parts[4] = {};
  if (std::sscanf(copy.c_str(), "%3d.%3d.%3d.%3d", &parts[0], &parts[1], &parts[2], &parts[3]) !=
      4) {
    throw TextError("Не удалось прочитать 4 компоненты IP-адреса"_cp866);
  }
  uint32_t address = 0;
  for (int part : parts) {
    if (part < 0 || part > 255) {
      throw TextError("Значения байтов IP-адреса вне диапазона 0..255"_cp866);
    }
    address = (address << 8) | static_cast<uint32_t>(part);
  }
  if (ipToText(address) != text) {
    throw TextError("Лишние данные или денормализованный IP-адрес"_cp866);
  }
  return address;
}

std::string macToText(uint64_t mac) {
  char text[32];
  std::snprintf(
      text, sizeof(text), "%02x-%02x-%02x-%02x-%02x-%02x",
      static_cast<unsigned>((mac >> 40) & 0xFF), static_cast<unsigned>((mac >> 32) & 0xFF),
      static_cast<unsigned>((mac >> 24) & 0xFF), static_cast<unsigned>((mac >> 16) & 0xFF),
      static_cast<unsigned>((mac >> 8) & 0xFF), static_cast<unsigned>(mac & 0xFF));
  return text;
}

uint64_t macFromText(std::string_view text) {
  const std::string copy(text);
  unsigned parts[6] = {};
  if (std::sscanf(copy.c_str(), "%2x-%2x-%2x-%2x-%2x-%2x", &parts[0], &parts[1], &parts[2],
                  &parts[3], &parts[4], &parts[5]) != 6) {
    throw TextError("Не удалось прочитать 6 компонент MAC-адреса"_cp866);
  }
  // A signed field ("-1") reads as a value above 0xFF; it can never print back as two
  // digits, so the comparison refuses it before the bytes are combined.
  std::string printed;
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) {
    char part[16];
    std::snprintf(part, sizeof(part), "%02x", parts[i]);
    if (i > 0) printed += '-';
    printed += part;
    mac = (mac << 8) | (parts[i] & 0xFFu);
  }
  if (printed != text) throw TextError("Лишние данные или денормализованный MAC-адрес"_cp866);
  return mac;
}

}  // namespace dovrel::permissions
