// SecurityQuery: the security log entry of one security-changing request. Opening it writes
// the timestamp and the request; success() closes it with "[Success]"; leaving its scope
// without success() closes it with "[Failure]", so every entry ends with exactly one of the
// two, whether the command returns or throws. Used by the thread that runs queries only.
#pragma once

#include <string>

#include "foundation/TextView.h"
#include "platform/Clock.h"

namespace dovrel {

class SimpleLog;

class SecurityQuery {
 public:
  // Appends CR LF "[" + the UTC time as DD.MM.YYYY HH:MM:SS + "]" CR LF and the request
  // (the whole text the query's scanner runs over, login lines included) with its
  // passwords masked (see maskPasswords). `log` must outlive the entry.
  SecurityQuery(SimpleLog& log, TextView request);
  // Appends CR LF "[Failure]" CR LF unless success() was called.
  ~SecurityQuery();
  SecurityQuery(const SecurityQuery&) = delete;
  SecurityQuery& operator=(const SecurityQuery&) = delete;

  // Appends CR LF "[Success]" CR LF. Called at most once (asserted "!wasSuccess").
  void success();

  // The request as the log keeps it, whatever it holds and however malformed: the value of
  // the "Password: " login line, and from the word identified or by to the end of the
  // command every token but the keyword by, become "***"; a string that opens there and
  // never closes masks the rest of the request. Every other byte stays as received; the
  // rules are at the top of SecurityQuery.cpp. Never throws a TextError.
  static std::string maskPasswords(TextView request);
  // DD.MM.YYYY HH:MM:SS, every field zero-padded.
  static std::string timestamp(const platform::CalendarTime& time);

 private:
  SimpleLog& log_;
  bool wasSuccess_ = false;
};

}  // namespace dovrel
