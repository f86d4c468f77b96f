// The login name that an old user name becomes. Pure function, any thread.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::secmigrate {

// Converts byte by byte: Latin letters to lower case, digits kept (a digit that would come
// first is preceded by "n", so the result never starts with a digit), every other byte,
// non-ASCII ones included, to "_". The result has at least as many bytes as the old name
// and is a name token unless it is empty or longer than 31 bytes.
std::string convertLoginName(std::string_view oldName);

}  // namespace dovrel::secmigrate
