// Reading /proc/net/arp. The table is small and read whole on each look-up, so an entry
// added while the server runs is seen by the next connection. Thread-safe.
#include "platform/Arp.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace dovrel::platform {

namespace {

std::vector<std::string_view> fieldsOf(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "a.b.c.d" with each part 0..255.
std::optional<uint32_t> parseIpv4(std::string_view text) {
  uint32_t address = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    uint32_t value = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
      ++digits;
    }
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
  }
  if (i != text.size()) return std::nullopt;
  return address;
}

// "xx:xx:xx:xx:xx:xx".
std::optional<uint64_t> parseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  uint64_t mac = 0;
  for (std::size_t byte = 0; byte < 6; ++byte) {
    const int high = hexDigit(text[byte * 3]);
    const int low = hexDigit(text[byte * 3 + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (byte < 5 && text[byte * 3 + 2] != ':') return std::nullopt;
    mac = (mac << 8) | static_cast<uint64_t>(high * 16 + low);
  }
  return mac;
}

// "0x2" and the like.
std::optional<unsigned long> parseHex(std::string_view text) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  unsigned long value = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0 || i > 10) return std::nullopt;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return value;
}

}  // namespace

uint64_t findMacInArpTable(std::string_view table, uint32_t ipv4) {
  std::size_t start = 0;
  bool heading = true;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    const std::string_view line = table.substr(start, end - start);
    start = end + 1;
    if (heading) {  // "IP address  HW type  Flags  HW address  Mask  Device"
      heading = false;
      continue;
    }
    const std::vector<std::string_view> fields = fieldsOf(line);
    if (fields.size() < 4) continue;
    const std::optional<uint32_t> address = parseIpv4(fields[0]);
    if (!address || *address != ipv4) continue;
    const std::optional<unsigned long> flags = parseHex(fields[2]);
    const std::optional<uint64_t> mac = parseMac(fields[3]);
    // Another device may hold a complete entry for the same address: keep looking.
    if (!flags || *flags == 0 || !mac || *mac == 0) continue;
    return *mac;
  }
  return 0;
}

uint64_t lookupMac(uint32_t ipv4, const std::string& tablePath) {
  std::ifstream file(tablePath, std::ios::binary);
  if (!file) return 0;
  const std::string table{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return findMacInArpTable(table, ipv4);
}

}  // namespace dovrel::platform
