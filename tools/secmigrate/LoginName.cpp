// Old user names to login names.
#include "secmigrate/LoginName.h"

namespace dovrel::secmigrate {

std::string convertLoginName(std::string_view oldName) {
  std::string login;
  login.reserve(oldName.size() + 1);
  for (char c : oldName) {
    if (c >= 'a' && c <= 'z') {
      login += c;
    } else if (c >= 'A' && c <= 'Z') {
      login += static_cast<char>(c - 'A' + 'a');
    } else if (c >= '0' && c <= '9') {
      if (login.empty()) login += 'n';
      login += c;
    } else {
      login += '_';
    }
  }
  return login;
}

}  // namespace dovrel::secmigrate
