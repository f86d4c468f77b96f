// What the in-process reliability sweeps share: the one user they run as, the security
// file that declares it, and fault kinds by name for their reports.
#pragma once

#include <string>

#include "platform/FaultInjectionEnv.h"
#include "security/StoreTestSupport.h"

namespace dovrel::reliability {

inline const std::string ADMIN_LOGIN = "User: admin\r\nPassword: secret\r\n";

inline std::string adminOnlySecurity() {
  return "security {\r\n" + test::userEntry("admin", "admin", "secret") + "}\r\n";
}

inline std::string kindName(platform::FaultKind kind) { return platform::faultKindName(kind); }

}  // namespace dovrel::reliability
