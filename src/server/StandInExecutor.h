// The executor of a server built without its query parser: every well-framed request is
// answered with an error, so the protocol, the client and the start-up can be used and
// tested on their own. Same threading as any QueryExecutor.
#pragma once

#include "server/QueryExecutor.h"

namespace dovrel::server {

class StandInExecutor final : public QueryExecutor {
 public:
  // Always refuses with "ERROR\r\n" and a message saying that no query parser is present.
  QueryResult execute(TextView query, TextBuffer& answer) override;
};

}  // namespace dovrel::server
