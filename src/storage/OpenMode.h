// How a file with a two-phase commit is opened after the process stopped: finishing an
// interrupted commit or undoing it. Shared by the documents files and the indexes above
// them; plain values, any thread.
#pragma once

namespace dovrel {

enum class OpenMode {
  // Every ordinary open: a commit whose first phase completed is rolled forward.
  openNormal,
  // Only for the tables named in a leftover commit marker: a commit whose second phase
  // never started is rolled back to the previous one.
  openAfterCommit,
};

}  // namespace dovrel
