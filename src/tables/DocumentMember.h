// DocumentMember: a field or a group of a document, by its short name, with its part of
// the canonical document text. Documents are built per query and used on one thread.
#pragma once

#include <string>
#include <string_view>

#include "foundation/Poolable.h"

namespace dovrel {

class TextBuffer;

class DocumentMember : public Object {
 public:
  ~DocumentMember() override;
  DocumentMember(const DocumentMember&) = delete;
  DocumentMember& operator=(const DocumentMember&) = delete;

  // Lower case, as the scanner gives names.
  const std::string& getName() const { return name_; }
  // Appends the member's canonical text, every line opened by `indent`, CR LF line ends.
  virtual void writeText(TextBuffer& out, std::string_view indent) const = 0;

 protected:
  explicit DocumentMember(std::string name);

 private:
  std::string name_;
};

}  // namespace dovrel
