// Costs of the principal operations that every login and every table command pays: the
// password hash with its 256 rounds, and the privilege check through roles.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "principals/PasswordHash.h"
#include "principals/Public.h"
#include "principals/Role.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"

namespace dovrel {
namespace {

void BM_HashPassword256(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(hashPassword("secret", 256, "0A1B2C3D"));
}
BENCHMARK(BM_HashPassword256);

// A table with `range(0)` role grants, none of which the user holds, so `allows` walks
// every entry and the user's whole membership graph for each: the worst case of a refusal.
void BM_AllowsRefusedThroughRoles(benchmark::State& state) {
  auto everybody = Public::create();
  auto owner = User::create();
  owner->setName("owner");
  auto user = User::create();
  user->setName("user");
  user->grant(everybody);
  std::vector<std::shared_ptr<Role>> roles;
  for (int i = 0; i < 8; ++i) {  // the user is a member of a chain of eight roles
    auto r = Role::create();
    r->setName("member" + std::to_string(i));
    r->grant(everybody);
    if (!roles.empty()) r->grant(roles.back());
    roles.push_back(r);
  }
  user->grant(roles.back());
  TableSecurity security("t", owner);
  for (int i = 0; i < state.range(0); ++i) {
    auto r = Role::create();
    r->setName("other" + std::to_string(i));
    security.grant(r, PrivilegeSet{TablePrivilege::SELECT});
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(security.allows(TablePrivilege::SELECT, *user));
  }
}
BENCHMARK(BM_AllowsRefusedThroughRoles)->Arg(1)->Arg(16);

}  // namespace
}  // namespace dovrel

BENCHMARK_MAIN();
