// Fuzz target: the network permission file parser. An accepted text must print back as a
// text that parses to the same rules (what get network permissions answers and what a
// restart would read), and checking addresses against the rules must not fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "foundation/TextView.h"
#include "fuzz/FuzzSupport.h"
#include "permissions/NetworkPermissionList.h"

using namespace dovrel;
using namespace dovrel::permissions;

namespace {

// Addresses at the ends of the ranges and a few in between, with the MACs beside them.
constexpr uint32_t PROBE_IPS[] = {0,          1,          0x0A000001, 0x0A000005,
                                  0x7F000001, 0xC0A80001, 0xFFFFFFFE, 0xFFFFFFFF};
constexpr uint64_t PROBE_MACS[] = {0, 1, 0x001A2B3C4D5E, 0xFFFFFFFFFFFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  std::shared_ptr<const NetworkPermissionList> list;
  try {
    list = NetworkPermissionList::parse(
        TextView(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size)));
  } catch (const TextError&) {
    return 0;
  }
  const std::string text = list->toText();
  std::shared_ptr<const NetworkPermissionList> again;
  try {
    again = NetworkPermissionList::parse(TextView(text));
  } catch (const TextError& error) {
    fuzz::fail("printed rules do not parse: " + error.text());
  }
  if (again->toText() != text || again->size() != list->size()) {
    fuzz::fail("printed rules parse into other rules");
  }
  for (uint32_t ip : PROBE_IPS) {
    const IpVerdict verdict = list->checkIp(ip);
    if (verdict != again->checkIp(ip)) fuzz::fail("reparsed rules judge an address otherwise");
    for (uint64_t mac : PROBE_MACS) {
      const bool allowed = list->checkMac(ip, mac);
      if (mac == 0 && allowed) fuzz::fail("MAC 0 matched a rule");
      if (allowed != again->checkMac(ip, mac)) fuzz::fail("reparsed rules judge a MAC otherwise");
    }
  }
  return 0;
}
