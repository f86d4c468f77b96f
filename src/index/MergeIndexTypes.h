// The small value types of the merge index's interface: insertion modes, search modes,
// optimize results, the states of an index and the record value that encodes a document.
// Plain values; any thread.
#pragma once

#include <cstdint>

namespace dovrel::index {

// What an insertion records for (key, document).
enum class InsertMode {
  INSERT,  // the document now has the key
  REMOVE,  // the document no longer has the key; the record hides older insertions
};

// Which documents a search yields, judged by the newest record of each document under a
// key.
enum class SearchMode : int {
  PRESENT = 1,   // the newest record is an insertion
  ALL = 0,       // any record; every stored key counts as present
  REMOVED = -1,  // the newest record is a removal
};

// What a key walk does with a key: takes its documents, passes over it, or stops there.
enum class KeyStep { TAKE, SKIP, STOP };

enum class OptimizeResult {
  DONE,  // the index is one chain with no merge in progress
  MORE,  // the step's budget ran out; call again
};

enum MergeIndexState : int {
  STATE_IN_COMMIT = 0,           // first commit phase done, second pending
  STATE_AFTER_COMMIT = 1,        // committed, unchanged since opening or the last commit
  STATE_IN_FORWARD_SEARCH = 2,   // a key scan moving forward is open
  STATE_IN_BACKWARD_SEARCH = 3,  // a key scan moving backward is open
  STATE_CLOSED = 4,              // after destroy
  STATE_NEUTRAL = 5,             // changed or searched since the last commit
};

// Documents are numbered below 2^30, so a record value (document x 2 + flag) has 31 bits.
inline constexpr uint32_t MAX_DOCUMENT_NUMBER = (1u << 30) - 1;
// Bit 0 of a record value: set for a removal.
inline constexpr uint32_t RECORD_REMOVED = 1;
// Documents handed out by one getDocs call at most.
inline constexpr uint32_t DOCS_BATCH = 256;

inline uint32_t recordValue(uint32_t document, InsertMode mode) {
  return document * 2 + (mode == InsertMode::REMOVE ? RECORD_REMOVED : 0);
}
// The order of records under a key: the two records of one document compare equal.
inline uint32_t recordOrder(uint32_t value) { return value | RECORD_REMOVED; }
inline bool recordMatches(uint32_t value, SearchMode mode) {
  switch (mode) {
    case SearchMode::PRESENT:
      return (value & RECORD_REMOVED) == 0;
    case SearchMode::REMOVED:
      return (value & RECORD_REMOVED) != 0;
    case SearchMode::ALL:
      return true;
  }
  return true;
}

}  // namespace dovrel::index
