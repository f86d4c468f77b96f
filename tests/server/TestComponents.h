// A query executor and journal for the protocol tests. The executor answers "OK\r\n" and
// the request body, and treats a few bodies as orders: "block" waits for the test,
// "commit" and "halt" return those results, "refuse" and "crash" throw, "empty" answers
// nothing, "big" answers 16 MiB, "badlogin" is refused as a failed login of user bob. Both record
// what happened, in order.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "server/QueryExecutor.h"
#include "server/QueryJournal.h"

namespace dovrel::server::testing {

class EventLog {
 public:
  void add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class TestExecutor final : public QueryExecutor {
 public:
  explicit TestExecutor(EventLog& log) : log_(log) {}

  QueryResult execute(TextView query, TextBuffer& answer) override {
    const std::string text = query.toString();
    log_.add("execute " + text);
    failedLogin_.reset();
    if (text == "badlogin") {
      failedLogin_ = "bob";
      throw TextError("неверный пароль"_cp866);
    }
    if (text == "block") {
      running.release();
      gate.acquire();
    }
    if (text == "halt") return RESULT_HALT;
    if (text == "refuse") throw TextError("отказ"_cp866);
    if (text == "crash") throw std::runtime_error("unexpected");
    if (text == "empty") return RESULT_DONE;
    answer.append("OK\r\n");
    if (text == "big") {
      answer.append(std::string(16 << 20, 'b'));
      running.release();
    } else {
      answer.append(query);
    }
    return text == "commit" ? RESULT_COMMITTED : RESULT_DONE;
  }
  void shutdown() override {
    log_.add("executor shutdown");
    if (failShutdown) throw DiskOrMemoryError("диск"_cp866);
  }
  bool refusesEveryQuery() const override { return inErrorState.load(); }
  std::optional<std::string> failedLogin() const override { return failedLogin_; }

  bool failShutdown = false;
  std::atomic<bool> inErrorState{false};
  std::binary_semaphore running{0};  // released when "block" or "big" runs
  std::binary_semaphore gate{0};     // releases a "block"

 private:
  EventLog& log_;
  std::optional<std::string> failedLogin_;  // only under the parser semaphore
};

class TestJournal final : public QueryJournal {
 public:
  explicit TestJournal(EventLog& log) : log_(log) {}
  void append(TextView query) override { log_.add("append " + query.toString()); }
  void rotate() override { log_.add("rotate"); }
  void shutdown() override { log_.add("journal shutdown"); }

 private:
  EventLog& log_;
};

}  // namespace dovrel::server::testing
