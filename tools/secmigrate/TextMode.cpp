// Line-end translation of text-mode files.
#include "secmigrate/TextMode.h"

namespace dovrel::secmigrate {

std::string fromTextMode(std::string_view stored) {
  std::string text;
  text.reserve(stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    text += stored[i];
  }
  return text;
}

std::string toTextMode(std::string_view text) {
  std::string stored;
  stored.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') stored += '\r';
    stored += c;
  }
  return stored;
}

}  // namespace dovrel::secmigrate
