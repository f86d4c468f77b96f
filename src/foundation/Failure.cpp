// The one catch ladder over the failure channels. Any thread.
#include "foundation/Failure.h"

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel {

Failure currentFailure() {
  try {
    throw;
  } catch (const SemanticError& error) {
    return Failure{FailureKind::SEMANTIC, error.message()};
  } catch (const TextError& error) {
    return Failure{FailureKind::TEXT, error.text()};
  } catch (const DiskOrMemoryError& error) {
    return Failure{FailureKind::DISK_OR_MEMORY, error.message()};
  } catch (...) {
    return Failure{FailureKind::UNEXPECTED, std::string("неожиданная ошибка"_cp866)};
  }
}

}  // namespace dovrel
