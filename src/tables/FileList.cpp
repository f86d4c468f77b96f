// Directory listings by prefix or suffix. Query thread or start-up.
#include "tables/FileList.h"

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "platform/Env.h"

namespace dovrel {

namespace {

// Characters that the directory search would read as a pattern or a path.
bool isPlainPart(std::string_view part) {
  return part.find_first_of("*?\\/|[") == std::string_view::npos;
}

}  // namespace

FileList::FileList(const std::string& directory, const std::string& pattern) {
  if (!platform::Env::current().listDirectory(directory, pattern, &names_).isOk()) {
    throw DiskOrMemoryError(std::string("Ошибка чтения каталога "_cp866) + directory);
  }
}

FileList FileList::byPrefix(const std::string& directory, std::string_view prefix) {
  DOVREL_ASSERT(isPlainPart(prefix));
  return FileList(directory, std::string(prefix) + "*");
}

FileList FileList::bySuffix(const std::string& directory, std::string_view suffix) {
  DOVREL_ASSERT(isPlainPart(suffix));
  std::string pattern("*");
  pattern += suffix;
  return FileList(directory, pattern);
}

}  // namespace dovrel
