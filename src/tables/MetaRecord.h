// MetaRecord: the texts of a document's meta record — who created it and when, which
// document it replaced, who deleted it and when, which document replaced it. Pure
// functions on text buffers; any thread.
//
//   document {
//      usercreated = #3#bob#;
//      creationtime = #19#07.12.2026 23:41:05#;
//      replaced = #4#none#;              (or the replaced number: #1#7#)
//      userdeleted = #3#bob#;            (once deleted)
//      deletiontime = #19#...#;          (once deleted)
//      replacedby = #2#12#;              (once replaced)
//   };
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace dovrel {

class TextBuffer;

class MetaRecord {
 public:
  // 19 characters: DD.MM.YYYY HH:MM:SS.
  static std::string timeText(const platform::CalendarTime& time);
  // The time text of the system clock in UTC.
  static std::string timeTextNow();

  // Appends the record of a new document; `replaced` is used only when `replacing`.
  static void appendCreation(TextBuffer& out, std::string_view userName, std::string_view timeText,
                             bool replacing, uint32_t replaced);
  // Turn a stored record into that of a deleted (replaced) document: its closing line is
  // taken off and the new lines and the closing line appended. False, with the record
  // unchanged, when it does not end with the closing line (a damaged record).
  static bool markDeleted(TextBuffer& record, std::string_view userName, std::string_view timeText);
  static bool markReplacedBy(TextBuffer& record, uint32_t replacement);
};

}  // namespace dovrel
