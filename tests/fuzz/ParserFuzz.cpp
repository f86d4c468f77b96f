// Fuzz target: one request body (login lines and one command) through the query parser
// and every command handler, on a prepared instance: two tables whose fields carry every
// index kind, documents added and committed, users of every kind and a role. The instance
// is built once through the parser itself; a working copy of it serves a parser for
// RESET_EVERY inputs or until a halt, and is then thrown away, so what the inputs add stays
// bounded. Only the positioned TextError that the connection threads turn into an "ERROR"
// answer may leave the parser, and no request may put it into its error state.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "fuzz/FuzzSupport.h"
#include "permissions/NetworkPermissions.h"
#include "principals/PasswordHash.h"
#include "query/Parser.h"

using namespace dovrel;
using namespace dovrel::query;

namespace {

constexpr uint32_t RESET_EVERY = 500;
constexpr std::string_view SALT = "00000001";

// One round of hashing keeps a login cheap; the file states the rounds of each user.
std::string user(const std::string& name, const std::string& kind, const std::string& password,
                 const std::string& roles = "") {
  const std::string hash = hashPassword(password, 1, SALT);
  return "   user " + name + " alias #" + std::to_string(name.size()) + "#" + name + "# kind " +
         kind + " account unlock password rounds 1 salt #8#" + std::string(SALT) + "# hash #" +
         std::to_string(hash.size()) + "#" + hash + "# {\r\n" + roles + "   }\r\n";
}

const std::string SECURITY = "security {\r\n" + user("a", "admin", "") + user("c", "creator", "c") +
                             user("g", "grantee", "g", "      r;\r\n") +
                             "   role r alias #1#R# {\r\n   }\r\n}\r\n";

// Every index kind on text, every other indexable type, a group and null fields.
const char* const SETUP[] = {
    "create table t alias 'T' {"
    " field title alias 'Title' : text {"
    "   index w 'words size=16'; index wh 'whole size=16'; index an 'whole-alphanum size=16';"
    "   index p 'words-prefix size=16'; index s 'words-suffix size=16';"
    "   index sub 'words-substr size=16 mult=3'; index near 'words-near2 size=16'; };"
    " field n alias 'N' : int64 null { index v 'whole size=16'; };"
    " field x alias 'X' : double null { index v 'whole size=16'; };"
    " group when alias 'W' {"
    "   field d alias '' : date { index v 'whole size=16'; };"
    "   field tm alias '' : time null { index v 'whole size=16'; };"
    "   field dt alias '' : datetime null { index v 'whole size=16'; }; };"
    " field body alias '' : binary null { };"
    " field f alias '' : file null { }; };",
    "create table u alias 'U' { field k alias '' : text { index w 'words size=16'; }; };",
    "grant select, insert, update, meta, history, structure on t to r;",
    "grant select on u to public;",
    "add document { field title = 'War and Peace'; field n = '1869'; field x = '1.5';"
    " group when { field d = '01.01.1869'; field tm = '12:00'; field dt = '01.01.1869 12:00:00'; };"
    " field body = #3#a#b#; field f = null; } to table t;",
    "add document { field title = 'Anna Karenina'; field n = '-7'; field x = null;"
    " field body = null; field f = #22#File-Path: a\\b.txt\r\n\r\n#; } to table t;",
    "add document { field k = 'one two three'; } to table u;",
    "commit;",
    "add document { field title = 'uncommitted'; field n = null; field x = '2.0e3';"
    " field body = ''; field f = null; } to table t;",
};

struct Instance {
  Instance() : image("parser-image"), work("parser-work") {
    fuzz::writeWholeFile(image.path() + "security.txt", SECURITY);
    fuzz::writeWholeFile(image.path() + "network_permissions.txt", "127.0.0.1\r\n");
    fuzz::writeWholeFile(image.path() + "arp", "");
    std::filesystem::create_directory(image.path() + "DATA");
    {
      Parser parser(ParserFiles::inBaseDirectory(image.path()), permissions(image.path()));
      for (const char* command : SETUP) {
        TextBuffer answer;
        try {
          parser.execute(TextView("User: a\r\nPassword: \r\n" + std::string(command)), answer);
        } catch (const TextError& error) {
          fuzz::fail("setting up the instance: " + std::string(command) + "\n" + error.text());
        }
      }
    }  // the destructor commits the last document
    start();
  }

  static std::shared_ptr<permissions::NetworkPermissions> permissions(const std::string& base) {
    return std::make_shared<permissions::NetworkPermissions>(base + "network_permissions.txt",
                                                             base + "arp");
  }

  // A fresh working copy of the image and a parser over it.
  void start() {
    parser.reset();
    fuzz::copyTree(image.path(), work.path());
    parser = std::make_unique<Parser>(ParserFiles::inBaseDirectory(work.path()),
                                      permissions(work.path()));
    executed = 0;
  }

  fuzz::TempDir image;
  fuzz::TempDir work;
  std::unique_ptr<Parser> parser;
  uint32_t executed = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Instance instance;
  if (size > UINT32_MAX / 2) return 0;
  if (instance.executed++ == RESET_EVERY) instance.start();
  TextBuffer answer;
  QueryResult result = RESULT_DONE;
  try {
    result = instance.parser->execute(
        TextView(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size)), answer);
  } catch (const TextError& error) {
    // On a sound instance with room on its disk no request may stop the server from
    // answering: the error state is for failures of the disk or of memory.
    if (instance.parser->inError())
      fuzz::fail("a request put the parser in its error state: " + error.text());
    return 0;
  }
  if (result != RESULT_HALT && answer.stringView().substr(0, 4) != "OK\r\n") {
    fuzz::fail("a command succeeded without an OK answer: " + answer.toString());
  }
  // A halt ends the server: the parser commits and goes.
  if (result == RESULT_HALT) instance.start();
  return 0;
}
