// An in-memory model of a merge index for the tests: the newest record of every (key,
// document), the keys and documents each search mode should show, and checks that read a
// real index back against it. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "index/EngineCalls.h"
#include "index/IndexTestSupport.h"
#include "index/MergeIndex.h"

namespace dovrel::index::test {

class Model {
 public:
  void apply(const std::string& keyText, uint32_t document, InsertMode mode) {
    Entry& entry = keys_[keyText];
    bool removed = mode == InsertMode::REMOVE;
    auto [at, added] = entry.documents.emplace(document, removed);
    if (!added && at->second == removed) return;
    if (!added) entry.removed -= at->second ? 1 : 0;
    at->second = removed;
    entry.removed += removed ? 1 : 0;
  }

  static bool shows(bool removed, SearchMode mode) {
    return mode == SearchMode::ALL || removed == (mode == SearchMode::REMOVED);
  }

  struct Entry {
    std::map<uint32_t, bool> documents;  // document -> its newest record is a removal
    std::size_t removed = 0;             // documents whose newest record is a removal

    bool shown(SearchMode mode) const {
      return mode == SearchMode::ALL       ? true
             : mode == SearchMode::REMOVED ? removed > 0
                                           : documents.size() > removed;
    }
    std::vector<uint32_t> docs(SearchMode mode) const {
      std::vector<uint32_t> out;
      for (const auto& [document, isRemoved] : documents) {
        if (shows(isRemoved, mode)) out.push_back(document);
      }
      return out;
    }
  };
  // Key text (without its length byte) -> its documents. std::string orders like
  // keyCompare: bytes as unsigned, a proper prefix first.
  using Keys = std::map<std::string, Entry>;

  std::vector<uint32_t> docs(const std::string& keyText, SearchMode mode) const {
    auto found = keys_.find(keyText);
    return found == keys_.end() ? std::vector<uint32_t>{} : found->second.docs(mode);
  }

  std::vector<std::string> visible(SearchMode mode) const {
    std::vector<std::string> out;
    for (const auto& [keyText, entry] : keys_) {
      if (entry.shown(mode)) out.push_back(keyText);
    }
    return out;
  }

  const Keys& keys() const { return keys_; }

  std::size_t keyCount() const { return keys_.size(); }

 private:
  Keys keys_;
};

inline const char* modeName(SearchMode mode) {
  switch (mode) {
    case SearchMode::PRESENT:
      return "PRESENT";
    case SearchMode::REMOVED:
      return "REMOVED";
    case SearchMode::ALL:
      return "ALL";
  }
  return "?";
}

// The text of the key the index's search stands on.
inline std::string currentKeyText(const MergeIndex& index) {
  std::array<uint8_t, 256> out{};
  index.getKey(out.data());
  return std::string(reinterpret_cast<const char*>(out.data() + 1), out[0]);
}

// How allDocs reads a key's documents: batch after batch, all in one collectDocs call,
// or one batch and then collectDocs for the rest.
enum class DocsRead { BATCHES, COLLECT, BATCH_THEN_COLLECT };

// Every document of the current key, read as `read` says.
inline std::vector<uint32_t> allDocs(MergeIndex& index, ErrorCode& error,
                                     DocsRead read = DocsRead::BATCHES) {
  std::vector<uint32_t> out;
  std::array<uint32_t, DOCS_BATCH> batch{};
  if (read == DocsRead::COLLECT) {
    test::keep(error, index.collectDocs(out));
    return out;
  }
  for (;;) {
    uint32_t count = 0;
    test::keep(error, index.getDocs(batch, count));
    out.insert(out.end(), batch.begin(), batch.begin() + count);
    if (count < DOCS_BATCH || error != EM_NO_ERRORS) return out;
    if (read == DocsRead::BATCH_THEN_COLLECT) {
      test::keep(error, index.collectDocs(out));
      return out;
    }
  }
}

// A full forward scan in `mode`, keys and documents, against the model.
inline testing::AssertionResult scanMatches(MergeIndex& index, const Model& model,
                                            SearchMode mode) {
  ErrorCode error = EM_NO_ERRORS;
  auto expected = model.keys().begin();
  auto skipHidden = [&] {
    while (expected != model.keys().end() && !expected->second.shown(mode)) ++expected;
  };
  skipHidden();
  bool end = test::startSearch(index, mode, error);
  std::size_t i = 0;
  testing::AssertionResult result = testing::AssertionSuccess();
  for (; !end && error == EM_NO_ERRORS; ++i) {
    std::string got = currentKeyText(index);
    if (expected == model.keys().end() || got != expected->first) {
      result = testing::AssertionFailure() << modeName(mode) << ": key " << i << " is a key of "
                                           << got.size() << " bytes not expected there";
      break;
    }
    // The three ways of reading take turns from key to key.
    std::vector<uint32_t> docs = allDocs(index, error, static_cast<DocsRead>(i % 3));
    std::vector<uint32_t> expectedDocs = expected->second.docs(mode);
    if (docs != expectedDocs) {
      result = testing::AssertionFailure()
               << modeName(mode) << ": documents of key " << i << " differ (" << docs.size()
               << " instead of " << expectedDocs.size() << ")";
      break;
    }
    ++expected;
    skipHidden();
    end = test::nextKey(index, error);
  }
  if (result && error == EM_NO_ERRORS && expected != model.keys().end()) {
    result = testing::AssertionFailure() << modeName(mode) << ": only " << i << " keys";
  }
  if (error != EM_NO_ERRORS) result = testing::AssertionFailure() << "error " << error;
  index.endSearch();
  return result;
}

inline testing::AssertionResult indexMatches(MergeIndex& index, const Model& model) {
  for (SearchMode mode : {SearchMode::PRESENT, SearchMode::REMOVED, SearchMode::ALL}) {
    testing::AssertionResult result = scanMatches(index, model, mode);
    if (!result) return result;
  }
  return testing::AssertionSuccess();
}

// Both commit phases.
inline ErrorCode commit(MergeIndex& index) {
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, index.commitPrepare());
  if (error == EM_NO_ERRORS) test::keep(error, index.commitFinish());
  return error;
}

}  // namespace dovrel::index::test
