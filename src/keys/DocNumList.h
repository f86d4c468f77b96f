// Lists of document numbers: the immutable, shared results of searches, and the slice,
// union and intersection that conditions, limit and offset apply to them. Built and used
// on the query thread; a finished list is never changed and may be read from anywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "foundation/Poolable.h"

namespace dovrel::index {

class DocNumList;
class OrderedDocNumList;
class UnorderedDocNumList;

// Lists are shared through these handles and freed with the last one.
using DocNumListPtr = std::shared_ptr<const DocNumList>;
using OrderedListPtr = std::shared_ptr<const OrderedDocNumList>;
using UnorderedListPtr = std::shared_ptr<const UnorderedDocNumList>;

// An array of document numbers and its length, fixed at construction; the list owns the
// array. Plain 32-bit numbers, so an answer can send them as they are.
class DocNumList : public Object {
 public:
  DocNumList(const DocNumList&) = delete;
  DocNumList& operator=(const DocNumList&) = delete;

  uint32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  // The number at `index`; index < length() (a broken invariant otherwise: fatal).
  uint32_t element(uint32_t index) const;
  std::span<const uint32_t> numbers() const { return {list_.get(), length_}; }
  const uint32_t* begin() const { return list_.get(); }
  const uint32_t* end() const { return list_.get() + length_; }

 protected:
  // Takes the array; it may be null only when `length` is 0.
  DocNumList(std::unique_ptr<uint32_t[]> list, uint32_t length);

 private:
  std::unique_ptr<uint32_t[]> list_;
  uint32_t length_;
};

// Numbers strictly ascending. Every search result and every condition result is one.
class OrderedDocNumList final : public DocNumList {
 public:
  // A copy of `ascending`, which must be strictly ascending (fatal otherwise). Throws
  // DiskOrMemoryError when the array cannot be allocated.
  static OrderedListPtr create(std::span<const uint32_t> ascending);
  // Takes an array that the caller has filled strictly ascending (not checked).
  static OrderedListPtr adopt(std::unique_ptr<uint32_t[]> list, uint32_t length);
  // A list without numbers.
  static OrderedListPtr emptyList();

 private:
  using DocNumList::DocNumList;
};

// Numbers in an order chosen by the producer (an ordered query result).
class UnorderedDocNumList final : public DocNumList {
 public:
  // A copy of `numbers`, in their order. Throws DiskOrMemoryError when out of memory.
  static UnorderedListPtr create(std::span<const uint32_t> numbers);
  static UnorderedListPtr adopt(std::unique_ptr<uint32_t[]> list, uint32_t length);

 private:
  using DocNumList::DocNumList;
};

// The elements from position min(offset, length) on, at most `count` of them (`offset` and
// `limit` of a search). The result is of the same kind as `list`; the whole list comes back
// as the same handle.
DocNumListPtr slice(const DocNumListPtr& list, uint32_t offset, uint32_t count);

// The numbers of either list, ascending, each once. A list united with itself is itself.
OrderedListPtr unionOf(const OrderedListPtr& first, const OrderedListPtr& second);
// The numbers present in both lists, ascending. A list intersected with itself is itself.
OrderedListPtr intersectionOf(const OrderedListPtr& first, const OrderedListPtr& second);

// An uninitialised array for `count` numbers (null for 0). Throws DiskOrMemoryError when the
// memory cannot be had: a list too big for memory refuses the query, it never ends the server.
std::unique_ptr<uint32_t[]> allocateDocNumbers(uint64_t count);
// Throws the DiskOrMemoryError of memory that cannot be had (lists, key buffers).
[[noreturn]] void throwOutOfMemory();

}  // namespace dovrel::index
