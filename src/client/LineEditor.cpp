// The line editor over libedit. Main thread only.
#include "client/LineEditor.h"

#include <histedit.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Terminal.h"

namespace dovrel::client {

namespace {

constexpr int HISTORY_SIZE = 1000;

}  // namespace

LineEditor::LineEditor(std::string historyPath)
    : historyPath_(std::move(historyPath)),
      editor_(el_init("dovrel-client", stdin, stdout, stderr)),
      history_(history_init()) {
  HistEvent event;
  history(history_, &event, H_SETSIZE, HISTORY_SIZE);
  history(history_, &event, H_SETUNIQUE, 1);
  if (!historyPath_.empty()) history(history_, &event, H_LOAD, historyPath_.c_str());
  el_set(editor_, EL_CLIENTDATA, this);
  el_set(editor_, EL_PROMPT, &LineEditor::promptOf);
  el_set(editor_, EL_EDITOR, "emacs");
  el_set(editor_, EL_HIST, history, history_);
  el_source(editor_, nullptr);  // the user's ~/.editrc, when there is one
}

LineEditor::~LineEditor() {
  el_end(editor_);
  history_end(history_);
}

char* LineEditor::promptOf(editline* editor) {
  void* data = nullptr;
  el_get(editor, EL_CLIENTDATA, &data);
  return static_cast<LineEditor*>(data)->prompt_.data();
}

LineEditor::Outcome LineEditor::read(const std::string& prompt, std::string* line) {
  prompt_ = prompt;
  platform::takeInterrupt();  // a Ctrl-C pressed while an answer was awaited is forgotten
  int count = 0;
  errno = 0;
  const char* text = el_gets(editor_, &count);
  if (platform::takeInterrupt()) {
    el_reset(editor_);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return Outcome::INTERRUPTED;
  }
  if (text == nullptr || count <= 0) return Outcome::END;
  line->assign(text, static_cast<std::size_t>(count));
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return Outcome::LINE;
}

void LineEditor::remember(const std::string& line) {
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  HistEvent event;
  history(history_, &event, H_ENTER, line.c_str());
  // Saved at once, so that a session that is killed keeps what was typed.
  if (!historyPath_.empty()) history(history_, &event, H_SAVE, historyPath_.c_str());
}

std::string defaultHistoryPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return "";
  std::string path = home;
  if (path.back() != '/') path += '/';
  return path + ".dovrel_history";
}

}  // namespace dovrel::client
