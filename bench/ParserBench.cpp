// The query parser and the security store on their hot paths: one query through login and
// dispatch (with the server's 256 hash rounds, and with none, which leaves the parser's own
// work), the security file loaded and saved with growing numbers of users, and the masking
// of a security log entry. Files on /dev/shm.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/Console.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "principals/PasswordHash.h"
#include "query/Parser.h"
#include "security/Security.h"
#include "security/SecurityQuery.h"
#include "tables/TableSet.h"

namespace {

using namespace dovrel;

std::string counted(const std::string& bytes) {
  std::string text("#");
  text += std::to_string(bytes.size());
  text += '#';
  text += bytes;
  text += '#';
  return text;
}

std::string userEntry(const std::string& name, uint32_t rounds) {
  const std::string salt = "0123ABCD";
  return "   user " + name + " alias " + counted(name) +
         " kind admin account unlock password rounds " + std::to_string(rounds) + " salt " +
         counted(salt) + " hash " + counted(hashPassword("secret", rounds, salt)) +
         " {\r\n      staff;\r\n   }\r\n";
}

// An instance directory on tmpfs with DATA/ and a security file of `users` users named
// u0, u1, ... (u0 with 256 rounds, the others with none) and one role.
std::string makeInstance(int users) {
  std::string pattern = "/dev/shm/dovrel-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  const std::string dir = pattern + "/";
  std::filesystem::create_directory(dir + "DATA");
  std::string text = "security {\r\n   role staff alias #5#staff# {\r\n   }\r\n";
  for (int i = 0; i < users; ++i) {
    std::string name("u");
    name += std::to_string(i);
    text += userEntry(name, i == 0 ? 256 : 0);
  }
  std::ofstream(dir + "security.txt", std::ios::binary) << text << "}\r\n";
  return dir;
}

// Arg: the hash rounds of the user who logs in (256 or 0). The command is unknown, so the
// query ends in the positioned refusal after the login.
void BM_QueryLoginAndDispatch(benchmark::State& state) {
  const std::string dir = makeInstance(2);
  {
    query::Parser parser(query::ParserFiles::inBaseDirectory(dir));
    const std::string user = state.range(0) == 256 ? "u0" : "u1";
    const std::string query = "User: " + user + "\r\nPassword: secret\r\nfrobnicate;";
    for (auto _ : state) {
      TextBuffer answer;
      try {
        parser.execute(TextView(query), answer);
      } catch (const TextError& refusal) {
        benchmark::DoNotOptimize(refusal.text().size());
      }
    }
    parser.shutdown();
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_QueryLoginAndDispatch)->Arg(256)->Arg(0);

// Arg: users in the file. Both passes over the text, and the map.
void BM_SecurityLoad(benchmark::State& state) {
  const std::string dir = makeInstance(static_cast<int>(state.range(0)));
  auto tables = std::make_shared<TableSet>(dir + "DATA/");
  for (auto _ : state) {
    Security security(dir + "security.txt", *tables);
    benchmark::DoNotOptimize(security.principals().size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SecurityLoad)->Arg(10)->Arg(1000);

// Arg: users in the file. The text written whole and saved through .bak and .new.
void BM_SecuritySave(benchmark::State& state) {
  const std::string dir = makeInstance(static_cast<int>(state.range(0)));
  auto tables = std::make_shared<TableSet>(dir + "DATA/");
  Security security(dir + "security.txt", *tables);
  for (auto _ : state) security.save();
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SecuritySave)->Arg(10)->Arg(1000);

void BM_MaskPasswords(benchmark::State& state) {
  const std::string request =
      "User: admin\r\nPassword: secret\r\ncreate user someone alias 'Someone Else' kind grantee "
      "account unlock identified by 'a long enough password';";
  for (auto _ : state) {
    benchmark::DoNotOptimize(SecurityQuery::maskPasswords(TextView(request)));
  }
}
BENCHMARK(BM_MaskPasswords);

}  // namespace
BENCHMARK_MAIN();
