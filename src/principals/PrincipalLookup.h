// PrincipalLookup: the view of the principal map that the readers of principal bodies and
// table security entries need. The security store implements it; the readers live below
// the store and see nothing else of it. Called on the thread that reads the text.
#pragma once

#include <memory>
#include <string_view>

namespace dovrel {

class Role;

class PrincipalLookup {
 public:
  // The principal (User, Role or Public) registered under the lower-case name, or an empty
  // handle when there is none. Never throws for an unknown name.
  virtual std::shared_ptr<Role> findPrincipal(std::string_view name) const = 0;

 protected:
  ~PrincipalLookup() = default;
};

}  // namespace dovrel
