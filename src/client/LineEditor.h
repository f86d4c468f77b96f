// The interactive client's line editor: editing keys and a history kept in a file, on top
// of libedit. Main thread only; one instance at a time (it owns the terminal's modes while
// a line is read).
#pragma once

#include <string>

struct editline;
struct history;

namespace dovrel::client {

class LineEditor {
 public:
  // `historyPath` is loaded now (a missing file is an empty history) and rewritten (mode
  // 0600) after every line remembered; empty keeps the history in memory only.
  explicit LineEditor(std::string historyPath);
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  enum class Outcome { LINE, INTERRUPTED, END };
  // Shows `prompt` and reads one line (without its line feed). INTERRUPTED when Ctrl-C was
  // pressed (the typed text is dropped; see platform::catchInterrupts), END at the end of
  // the input.
  Outcome read(const std::string& prompt, std::string* line);
  // Adds a non-blank line to the history and saves the history file.
  void remember(const std::string& line);

 private:
  static char* promptOf(editline* editor);

  std::string historyPath_;
  std::string prompt_;
  editline* editor_;
  history* history_;
};

// The history file in the user's home ($HOME/.dovrel_history), or "" when $HOME is not set.
std::string defaultHistoryPath();

}  // namespace dovrel::client
