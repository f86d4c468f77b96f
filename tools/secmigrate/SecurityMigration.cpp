// The conversion run. The old access levels become four fixed roles; every old record
// becomes one user in the role of its level; every table gets a graded privilege record
// owned by the last level-4 user. One salt serves the whole run. The text is assembled
// with single line feeds and stored with CR LF line ends, through a staged file that
// replaces "security.txt" only when the run has succeeded.
#include "secmigrate/SecurityMigration.h"

#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/InstanceFiles.h"
#include "platform/Env.h"
#include "principals/PasswordHash.h"
#include "secmigrate/LoginName.h"
#include "secmigrate/StagedFile.h"
#include "secmigrate/TextMode.h"
#include "secmigrate/UsersFileReader.h"

namespace dovrel::secmigrate {

namespace {

// What an old access level becomes.
struct LevelMapping {
  std::string_view kind;
  std::string_view account;
  std::string_view role;
};

constexpr LevelMapping LEVELS[] = {
    {"grantee", "lock", "readers"},   {"grantee", "unlock", "readers"},
    {"grantee", "unlock", "writers"}, {"creator", "unlock", "creators"},
    {"admin", "unlock", "admins"},
};
constexpr int64_t LEVEL_COUNT = sizeof(LEVELS) / sizeof(LEVELS[0]);
constexpr int64_t ADMIN_LEVEL = 4;  // its user becomes the owner of every table

// Passwords set by the server are hashed with this many extra rounds; converted ones too.
constexpr uint32_t PASSWORD_ROUNDS = 256;
// The longest name token the server's scanner accepts.
constexpr std::size_t MAX_LOGIN_NAME = 31;

constexpr std::string_view USERS_FILE = "users.txt";
constexpr std::string_view SECURITY_FILE = instance::SECURITY_FILE;
constexpr std::string_view STRUCTURE_SUFFIX = ".structure";
constexpr const char* STRUCTURE_PATTERN = "*.structure";

// A fixed role: its name and its alias in code page 1251, the one text of the file that
// is not code page 866.
struct FixedRole {
  std::string_view name;
  std::string_view alias;
};

const FixedRole ROLES[] = {
    {"readers", "Чтение"_cp1251},
    {"writers", "Запись"_cp1251},
    {"creators", "Создание таблиц"_cp1251},
    {"admins", "Администраторы"_cp1251},
};

// The graded privileges of every table; "admins" needs no line, its members are admins.
constexpr std::string_view TABLE_PRIVILEGES =
    "      public: structure;\n"
    "      readers: structure, select;\n"
    "      writers: structure, select, insert, update;\n"
    "      creators: structure, select, insert, update, optimize, meta, history;\n"
    "   }\n";

std::string joinPath(const std::string& directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  std::string path = directory;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string countedString(std::string_view bytes) {
  std::string text = "#";
  text += std::to_string(bytes.size());
  text += '#';
  text += bytes;
  text += '#';
  return text;
}

// A run's failure: the message has been printed; the run ends with status 1.
struct RunStopped {};

class Migration {
 public:
  explicit Migration(const std::string& workDir) : workDir_(workDir) {}

  int run() {
    try {
      convert();
      return 0;
    } catch (const RunStopped&) {
      return 1;
    }
  }

 private:
  [[noreturn]] void stop(std::string_view message) {
    consolePrint(message);
    throw RunStopped{};
  }

  void convert() {
    platform::Env& env = platform::Env::current();
    std::string stored;
    if (!env.readWholeFile(joinPath(workDir_, USERS_FILE), &stored)) {
      stop("Не удалось открыть файл users.txt для чтения"_cp866);
    }
    const std::string users = fromTextMode(stored);

    StagedFile output(joinPath(workDir_, SECURITY_FILE));
    if (!output.open()) stop("Не удалось открыть файл security.txt на запись"_cp866);

    text_ = "security {\n";
    salt_ = makeSalt();
    convertUsers(users);
    writeRoles();
    writeTables(listTables());
    text_ += "}\n";

    if (!output.commit(toTextMode(text_))) stop("Не удалось записать файл security.txt"_cp866);
  }

  void convertUsers(std::string_view users) {
    UsersFileReader reader(users);
    // The principals the server defines besides the users: a user of the same name would
    // make the server refuse the file.
    std::set<std::string> taken = {"public"};
    for (const FixedRole& role : ROLES) taken.emplace(role.name);

    for (;;) {
      std::string oldName;
      const UsersFileReader::UserLine line = reader.readUser(&oldName);
      if (line == UsersFileReader::UserLine::END) break;
      if (line == UsersFileReader::UserLine::FAILED) {
        stop("Ошибка чтения [имени] пользователя"_cp866);
      }
      const std::string login = convertLoginName(oldName);
      if (login.empty()) stop("Ошибка: имя пользователя пусто"_cp866);
      checkLoginName(login, &taken);

      std::string password;
      if (!reader.readPassword(&password)) stop("Ошибка чтения пароля"_cp866);
      int64_t level = 0;
      if (!reader.readLevel(&level)) stop("Ошибка чтения уровня"_cp866);
      if (level < 0 || level >= LEVEL_COUNT) stop("Неожиданное значение уровня"_cp866);
      if (level == ADMIN_LEVEL) owner_ = login;

      writeUser(login, LEVELS[level], hashPassword(password, PASSWORD_ROUNDS, salt_));
    }
  }

  // The server loads only name tokens of at most 31 characters (a 31-character old name
  // that starts with a digit gains an "n") and refuses a name declared twice, so either
  // would yield a file that stops the server's start.
  void checkLoginName(const std::string& login, std::set<std::string>* taken) {
    const std::string prefix = std::string("Ошибка: имя пользователя "_cp866) + login;
    if (login.size() > MAX_LOGIN_NAME) stop(prefix + std::string(" длиннее 31 символа"_cp866));
    if (!taken->insert(login).second) stop(prefix + std::string(" уже занято"_cp866));
  }

  void writeUser(const std::string& login, const LevelMapping& mapping, const std::string& hash) {
    text_ += "   user ";
    text_ += login;
    text_ += " alias ";
    text_ += countedString(login);
    text_ += " kind ";
    text_ += mapping.kind;
    text_ += " account ";
    text_ += mapping.account;
    text_ += " password rounds ";
    text_ += std::to_string(PASSWORD_ROUNDS);
    text_ += " salt ";
    text_ += countedString(salt_);
    text_ += " hash ";
    text_ += countedString(hash);
    text_ += " {\n      ";
    text_ += mapping.role;
    text_ += ";\n   }\n";
  }

  void writeRoles() {
    for (const FixedRole& role : ROLES) {
      text_ += "   role ";
      text_ += role.name;
      text_ += " alias ";
      text_ += countedString(role.alias);
      text_ += " {\n   }\n";
    }
  }

  // The table names of the data directory, in the listing's (bytewise) order. A data
  // directory that does not exist holds no tables; any other listing failure stops the
  // run rather than silently dropping tables.
  std::vector<std::string> listTables() {
    platform::Env& env = platform::Env::current();
    // File names are case-sensitive here: the server's directory is "DATA/", an older
    // installation's may be "data/".
    const std::string_view dirName = env.fileExists(joinPath(workDir_, instance::DATA_DIRECTORY))
                                         ? instance::DATA_DIRECTORY
                                         : "data";
    std::vector<std::string> names;
    const platform::Status status =
        env.listDirectory(joinPath(workDir_, dirName), STRUCTURE_PATTERN, &names);
    if (!status) {
      if (status.error() == ENOENT) return {};
      stop(std::string("Не удалось прочитать каталог "_cp866) + std::string(dirName));
    }
    for (std::string& name : names) name.resize(name.size() - STRUCTURE_SUFFIX.size());
    return names;
  }

  void writeTables(const std::vector<std::string>& tables) {
    // Without a level-4 user every table would get an empty owner, which the server
    // refuses at the first table.
    if (!tables.empty() && !owner_) {
      stop("Ошибка: нет пользователя уровня 4, который стал бы владельцем таблиц"_cp866);
    }
    for (const std::string& table : tables) {
      text_ += "   table ";
      text_ += table;
      text_ += " owner ";
      text_ += *owner_;
      text_ += " {\n";
      text_ += TABLE_PRIVILEGES;
    }
  }

  const std::string& workDir_;
  std::string text_;  // the file's text with single line feeds
  std::string salt_;
  std::optional<std::string> owner_;  // login name of the last level-4 user
};

}  // namespace

int migrateSecurity(const std::string& workDir) {
  try {
    return Migration(workDir).run();
  } catch (const DiskOrMemoryError& error) {
    consolePrint(error.message());
  } catch (const std::bad_alloc&) {
    consolePrint("Недостаточно памяти"_cp866);
  }
  return 1;
}

}  // namespace dovrel::secmigrate
