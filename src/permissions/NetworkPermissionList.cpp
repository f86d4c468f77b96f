// Parsing the network permission file and combining the verdicts of its rules. Parsing
// builds a new list and is used under the parser semaphore or at start-up; a built list is
// read-only and may be checked from any thread.
#include "permissions/NetworkPermissionList.h"

#include <string_view>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "permissions/IpRangePermission.h"
#include "permissions/MacIpPairPermission.h"
#include "permissions/SingleIpPermission.h"
#include "permissions/SingleMacPermission.h"

namespace dovrel::permissions {

namespace {

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

// The rule of one line without its CR LF, classified by the separators it contains; null
// when it contains none of them.
std::unique_ptr<const NetworkPermission> buildRule(std::string_view line) {
  if (contains(line, '&')) {
    const std::size_t amp = line.find('&');
    return std::make_unique<MacIpPairPermission>(line.substr(0, amp), line.substr(amp + 1));
  }
  if (contains(line, '-') && contains(line, '.')) {
    const std::size_t dash = line.find('-');
    return std::make_unique<IpRangePermission>(line.substr(0, dash), line.substr(dash + 1));
  }
  if (contains(line, '.')) return std::make_unique<SingleIpPermission>(line);
  if (contains(line, '-')) return std::make_unique<SingleMacPermission>(line);
  return nullptr;
}

}  // namespace

std::shared_ptr<const NetworkPermissionList> NetworkPermissionList::parse(TextView text) {
  auto list = std::make_shared<NetworkPermissionList>();
  Scanner scanner(text);
  for (;;) {
    const TextView read = scanner.readLine();
    if (read.empty()) break;  // a line read before the end holds at least its line feed
    const std::string_view raw = read.view();
    if (!raw.ends_with("\r\n")) {
      std::string message("строка разрешений сетевого доступа >"_cp866);
      message += raw;
      message += "< не заканчивается 0D 0A"_cp866;
      throw TextError(std::move(message));
    }
    const std::string_view line = raw.substr(0, raw.size() - 2);
    std::unique_ptr<const NetworkPermission> rule;
    try {
      rule = buildRule(line);
    } catch (const TextError& error) {
      std::string message = error.text();
      message += " (строка "_cp866;
      message += line;
      message += ')';
      throw TextError(std::move(message));
    }
    if (!rule) {
      std::string message("неожиданный формат строки разрешений сетевого доступа >"_cp866);
      message += line;
      message += '<';
      throw TextError(std::move(message));
    }
    list->rules_.push_back(std::move(rule));
  }
  return list;
}

IpVerdict NetworkPermissionList::checkIp(uint32_t ip) const {
  IpVerdict verdict = IP_NOT_MATCHED;
  for (const auto& rule : rules_) {
    const IpVerdict own = rule->checkIp(ip);
    if (own < verdict) verdict = own;
    if (verdict == IP_ALLOWED) break;
  }
  return verdict;
}

bool NetworkPermissionList::checkMac(uint32_t ip, uint64_t mac) const {
  // 0 is what the ARP look-up gives for a peer it does not know. A rule written with the
  // MAC 00-00-00-00-00-00 must not let every such peer in.
  if (mac == 0) return false;
  for (const auto& rule : rules_) {
    if (rule->checkMac(ip, mac)) return true;
  }
  return false;
}

std::string NetworkPermissionList::toText() const {
  TextBuffer text;
  for (const auto& rule : rules_) {
    rule->write(text);
    text.append("\r\n");
  }
  return text.toString();
}

}  // namespace dovrel::permissions
