// IndexKeyBuilder: the keys under which a field value is recorded in an index of a given
// kind (whole, whole-alphanum, words, words-prefix, words-suffix, words-substr,
// words-near0..9), handed one by one to a sink, and the key under which a query value is
// looked up. One builder per thread (it reuses its buffers); the query thread in practice.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/TextView.h"
#include "index/Key.h"
#include "keys/FieldType.h"
#include "keys/IndexKeyConverter.h"
#include "keys/IndexKind.h"

namespace dovrel::index {

// Receives the keys of a value. A key is valid only during the call (it may point into the
// builder's buffers): copy it to keep it. addKey may throw; the building then stops. It must
// not use the builder that calls it.
class KeySink {
 public:
  virtual void addKey(Key key) = 0;

 protected:
  ~KeySink() = default;
};

// A sink that calls a function object with each key.
template <class F>
class FunctionKeySink final : public KeySink {
 public:
  explicit FunctionKeySink(F function) : function_(std::forward<F>(function)) {}
  void addKey(Key key) override { function_(key); }

 private:
  F function_;
};

class IndexKeyBuilder {
 public:
  // No key built from a value is longer than this: a whole value, a word, a prefix, a
  // suffix or a substring.
  static constexpr uint32_t MAX_INDEX_KEY_LENGTH = 250;
  // Each word of a words-near pair key is cut to this many bytes.
  static constexpr uint32_t MAX_NEAR_WORD_LENGTH = 100;

  // Hands every document key of `value` to `sink`, repetitions included, in this order.
  // Text is folded first (TextNormalizer) and a word is a maximal run of letters and digits:
  //   whole           the first 250 bytes (an empty value: the empty key); other types:
  //                   the value key, which must convert (a validated value; fatal else)
  //   whole-alphanum  the letters and digits, at most 250 (none: the empty key)
  //   words           each word's first 250 bytes
  //   words-prefix    per word the empty key, then its prefixes of 1 to 250 bytes
  //   words-suffix    per word the empty key, then its last i bytes for i = 1 to 250
  //   words-substr    per word the empty key, then for i = 1 to 250 every substring of
  //                   length i from left to right (of the whole word)
  //   words-nearN     when a word ends, one key per word among the last N + 1 words before
  //                   it, oldest first: earlier word (100 bytes at most), " ", later word
  void documentKeys(const IndexKind& spec, FieldType type, TextView value, KeySink& sink);

  template <class F>
  void forEachDocumentKey(const IndexKind& spec, FieldType type, TextView value, F&& function) {
    FunctionKeySink<F&> sink(function);
    documentKeys(spec, type, value, sink);
  }

  // The key that looks `value` up in the index: the value key of a typed field; for text
  // the folded value cut to 250 bytes, for whole-alphanum its letters and digits (at most
  // 250, the same as the document key, so equal values meet). Never split into words.
  // Throws SemanticError "значение " + value + " не соответствует типу поля/индекса " +
  // indexFullName when the value does not convert.
  static void queryKey(const IndexKind& spec, FieldType type, TextView value,
                       std::string_view indexFullName, KeyBuffer& key);

 private:
  void textKeys(const IndexKind& spec, TextView value, KeySink& sink);
  // Emits the bytes [start, start + length) of the folded value as a key: a length byte is
  // written over the byte in front of them for the call and then put back.
  void emitInPlace(uint32_t start, uint32_t length, KeySink& sink);
  void wordKeys(BaseKind kind, uint32_t start, uint32_t length, KeySink& sink);
  void nearKey(uint32_t earlierStart, uint32_t earlierLength, uint32_t laterStart,
               uint32_t laterLength, KeySink& sink);

  // The folded value of the word kinds from byte 1 on; byte 0 is spare, so that every key
  // inside the value has a byte in front of it to hold its length.
  std::vector<uint8_t> folded_;
  // Keys copied together: whole and whole-alphanum keys, near pairs, value keys.
  KeyBuffer key_{};
};

}  // namespace dovrel::index
