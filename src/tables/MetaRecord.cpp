// The meta record texts. Any thread.
#include "tables/MetaRecord.h"

#include <cstdio>

#include "foundation/TextBuffer.h"

namespace dovrel {

namespace {

constexpr std::string_view CLOSING = "};\r\n";

// Takes the closing line off; false when the record does not end with it.
bool reopen(TextBuffer& record) {
  if (!record.stringView().ends_with(CLOSING)) return false;
  record.resize(record.length() - CLOSING.size());
  return true;
}

void appendLine(TextBuffer& out, std::string_view keyword, std::string_view value) {
  out.append(std::string_view("   "));
  out.append(keyword);
  out.append(std::string_view(" = "));
  out.appendCounted(value);
  out.append(std::string_view(";\r\n"));
}

void appendNumberLine(TextBuffer& out, std::string_view keyword, uint32_t value) {
  out.append(std::string_view("   "));
  out.append(keyword);
  out.append(std::string_view(" = "));
  out.appendCountedNumber(value);
  out.append(std::string_view(";\r\n"));
}

}  // namespace

std::string MetaRecord::timeText(const platform::CalendarTime& time) {
  char text[32];
  // Every field is bounded by the clock (the year by four digits), so 19 characters.
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", time.day % 100,
                time.month % 100, time.year % 10000, time.hour % 100, time.minute % 100,
                time.second % 100);
  return std::string(text);
}

std::string MetaRecord::timeTextNow() { return timeText(platform::utcTimeNow()); }

void MetaRecord::appendCreation(TextBuffer& out, std::string_view userName,
                                std::string_view timeText, bool replacing, uint32_t replaced) {
  out.append(std::string_view("document {\r\n"));
  appendLine(out, "usercreated", userName);
  appendLine(out, "creationtime", timeText);
  if (replacing) {
    appendNumberLine(out, "replaced", replaced);
  } else {
    appendLine(out, "replaced", "none");
  }
  out.append(CLOSING);
}

bool MetaRecord::markDeleted(TextBuffer& record, std::string_view userName,
                             std::string_view timeText) {
  if (!reopen(record)) return false;
  appendLine(record, "userdeleted", userName);
  appendLine(record, "deletiontime", timeText);
  record.append(CLOSING);
  return true;
}

bool MetaRecord::markReplacedBy(TextBuffer& record, uint32_t replacement) {
  if (!reopen(record)) return false;
  appendNumberLine(record, "replacedby", replacement);
  record.append(CLOSING);
  return true;
}

}  // namespace dovrel
