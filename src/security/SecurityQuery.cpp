// SecurityQuery: the bracketed entries of the security log and the masking of the
// passwords a request carries. Query thread only.
#include "security/SecurityQuery.h"

#include <cstdio>

#include "foundation/Assert.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "security/SimpleLog.h"

namespace dovrel {

namespace {

constexpr std::string_view PASSWORD_PREFIX = "Password: ";
constexpr std::string_view MASK = "***";

// The whole token (delimiters included) of the string token whose content is `content`.
// The scanner has validated it: a counted string is '#' digits '#' content '#', a quoted
// one quote content quote.
void stringTokenBounds(TextView content, const char** start, const char** end) {
  const char* p = content.pointer();
  *end = p + content.length() + 1;
  if (p[-1] != '#') {
    *start = p - 1;
    return;
  }
  const char* q = p - 2;  // the last digit of the count
  while (*q >= '0' && *q <= '9') --q;
  *start = q;  // the opening '#'
}

}  // namespace

SecurityQuery::SecurityQuery(SimpleLog& log, TextView request) : log_(log) {
  std::string entry("\r\n[");
  entry += timestamp(platform::utcTimeNow());
  entry += "]\r\n";
  entry += maskPasswords(request);
  log_.write(entry);
}

SecurityQuery::~SecurityQuery() {
  if (!wasSuccess_) log_.write("\r\n[Failure]\r\n");
}

void SecurityQuery::success() {
  DOVREL_ASSERT(!wasSuccess_);
  wasSuccess_ = true;
  log_.write("\r\n[Success]\r\n");
}

std::string SecurityQuery::timestamp(const platform::CalendarTime& time) {
  char text[64];
  std::snprintf(text, sizeof(text), "%02d.%02d.%04d %02d:%02d:%02d", time.day, time.month,
                time.year, time.hour, time.minute, time.second);
  return text;
}

std::string SecurityQuery::maskPasswords(TextView request) {
  std::string out;
  out.reserve(request.length());
  Scanner scanner(request);
  out.append(scanner.readLine().view());
  const TextView passwordLine = scanner.readLine();
  if (passwordLine.view().starts_with(PASSWORD_PREFIX)) {
    out.append(PASSWORD_PREFIX);
    out.append(MASK);
    if (passwordLine.view().ends_with("\r\n")) {
      out.append("\r\n");
    } else if (passwordLine.view().ends_with("\n")) {
      out.append("\n");
    }
  } else {
    out.append(passwordLine.view());
  }

  // The command: copied as it is between the strings that are masked.
  const char* copied = passwordLine.pointer() + passwordLine.length();
  const char* finish = request.pointer() + request.length();
  // 0: nothing seen; 1: "identified"; 2: "identified by".
  int seen = 0;
  try {
    scanner.next();
    while (scanner.kind() != TOKEN_END) {
      if (seen == 2 && scanner.kind() == TOKEN_STRING) {
        const char* start = nullptr;
        const char* end = nullptr;
        stringTokenBounds(scanner.string(), &start, &end);
        out.append(copied, start);
        out.append(MASK);
        copied = end;
      }
      seen = scanner.isName("identified") ? 1 : (seen == 1 && scanner.isName("by")) ? 2 : 0;
      scanner.next();
    }
  } catch (const TextError&) {
    // A token that does not scan. Right after identified by it may be a password whose
    // string never closed, and where it begins is not known: nothing more is kept.
    if (seen == 2) {
      out.append(MASK);
      return out;
    }
  }
  out.append(copied, finish);
  return out;
}

}  // namespace dovrel
