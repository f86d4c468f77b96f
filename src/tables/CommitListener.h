// CommitListener: told by the table set when a commit of all tables has written its
// "in_commit.txt" marker durably and is about to begin the first phase of the tables. The
// query journal records there that a commit is under way, so that at the next start it can
// tell a commit that completed (marker gone) from one that was undone (marker still there)
// and never runs committed work twice. Called on the thread that runs queries.
#pragma once

namespace dovrel {

class CommitListener {
 public:
  virtual ~CommitListener() = default;
  // A failure here must not return: the commit goes on only once the listener has recorded
  // it durably.
  virtual void commitStarting() = 0;
};

}  // namespace dovrel
