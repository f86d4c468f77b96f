// The stand-in executor. Called with the parser semaphore held.
#include "server/StandInExecutor.h"

#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel::server {

QueryResult StandInExecutor::execute(TextView, TextBuffer&) {
  throw TextError("запрос не выполнен: разборщик запросов не подключён"_cp866);
}

}  // namespace dovrel::server
