// ListJoiner: unites many ordered lists in one pass. The numbers are gathered end to end;
// when the runs happen to follow one another (the keys of a whole index over single
// values, the batches of one key) that is already the union, otherwise one sort, or a bit
// set over the numbers when they are dense, puts them in order and drops repeats. Query
// thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "keys/DocNumList.h"

namespace dovrel::index {

class ListJoiner {
 public:
  // Adds an ascending list. An empty list changes nothing; a list that is added alone is
  // what join() gives back, as the same handle.
  void add(const OrderedListPtr& list);
  // Adds strictly ascending numbers (a copy). Throws DiskOrMemoryError when out of memory.
  void add(std::span<const uint32_t> ascending);

  // For producers that write a run in place: append strictly ascending numbers to
  // gathered(), then call endRun() with the size gathered() had before.
  std::vector<uint32_t>& gathered() { return numbers_; }
  void endRun(std::size_t runStart);
  // The same for numbers appended in any order, with repeats.
  void endRuns(std::size_t start);

  // The union of every list added so far (empty when none was). The joiner is unchanged.
  OrderedListPtr join() const;
  // The same, leaving the joiner empty; it may sort in place rather than copy.
  OrderedListPtr take();

 private:
  OrderedListPtr single_;          // the only list added so far, kept as its handle
  std::vector<uint32_t> numbers_;  // every other run, end to end
  bool inOrder_ = true;            // the runs follow one another strictly ascending
};

}  // namespace dovrel::index
