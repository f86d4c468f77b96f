// The name shared by the fields and groups of a document. Query thread.
#include "tables/DocumentMember.h"

#include <utility>

namespace dovrel {

DocumentMember::DocumentMember(std::string name) : name_(std::move(name)) {}

DocumentMember::~DocumentMember() = default;

}  // namespace dovrel
