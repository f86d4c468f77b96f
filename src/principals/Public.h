// Public: the built-in role "public" that every other principal is a member of, so that
// whatever is granted to it holds for everybody. One per security store; it appears in no
// text. Used only by the thread that runs queries or loads the security file.
#pragma once

#include <memory>

#include "principals/Role.h"

namespace dovrel {

class Public : public Role {
 public:
  // The store's "public", with an empty alias and no memberships.
  static std::shared_ptr<Public> create();
  ~Public() override;

  // "public" is never written, neither as a definition nor as a membership line.
  void writeMembership(std::string_view indent, TextBuffer& out) const override;
  void writeDefinition(std::string_view indent, TextBuffer& out) const override;
  // Always fails: "public" cannot be read from a text.
  void readBody(Scanner& scanner, const PrincipalLookup& principals) override;

 protected:
  Public();
};

}  // namespace dovrel
