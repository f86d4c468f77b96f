// The query parser as the connection threads and the journal see it. Its shutdown is the
// halt: the parser commits every table (unless it is in its error state) and is released.
// Header-only, so that the server library itself does not depend on the query layer; the
// program and the tests that use it link the parser.
#pragma once

#include <memory>

#include "query/Parser.h"
#include "server/QueryExecutor.h"

namespace dovrel::server {

class ParserExecutor final : public QueryExecutor {
 public:
  explicit ParserExecutor(std::unique_ptr<query::Parser> parser) : parser_(std::move(parser)) {}

  QueryResult execute(TextView query, TextBuffer& answer) override {
    return parser_->execute(query, answer);
  }
  void shutdown() override {
    parser_->shutdown();
    parser_.reset();
  }
  std::optional<std::string> failedLogin() const override {
    return parser_ != nullptr ? parser_->failedLogin() : std::nullopt;
  }
  bool refusesEveryQuery() const override { return parser_ != nullptr && parser_->inError(); }
  void enterErrorState() override {
    if (parser_ != nullptr) parser_->enterErrorState();
  }
  bool commitInterrupted() const override { return parser_->commitInterrupted(); }
  void settleInterruptedCommit() override { parser_->settleInterruptedCommit(); }
  void setCommitListener(std::weak_ptr<CommitListener> listener) override {
    parser_->setCommitListener(std::move(listener));
  }

 private:
  std::unique_ptr<query::Parser> parser_;
};

}  // namespace dovrel::server
