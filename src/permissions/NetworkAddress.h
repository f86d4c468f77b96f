// Text forms of IPv4 and MAC addresses, as the network permission file and the console
// messages write them: "10.0.0.1" and "00-1a-2b-3c-4d-5e". Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel::permissions {

// "a.b.c.d", first octet (the most significant byte) first.
std::string ipToText(uint32_t address);
// Reads four numbers as the formatted read "%3d.%3d.%3d.%3d" does and accepts the text only
// when printing them again gives it back exactly, so leading zeros, signs, blanks and
// trailing bytes are refused. Throws TextError with "Не удалось прочитать 4 компоненты
// IP-адреса", "Значения байтов IP-адреса вне диапазона 0..255" or "Лишние данные или
// денормализованный IP-адрес".
uint32_t ipFromText(std::string_view text);

// "xx-xx-xx-xx-xx-xx", two lower-case hex digits per byte, first byte (the most significant
// of the 48 bits) first.
std::string macToText(uint64_t mac);
// Reads six numbers as "%2x-%2x-%2x-%2x-%2x-%2x" does and accepts the text only when
// macToText of them gives it back exactly. Throws TextError with "Не удалось прочитать 6
// компонент MAC-адреса" or "Лишние данные или денормализованный MAC-адрес".
uint64_t macFromText(std::string_view text);

}  // namespace dovrel::permissions
