// SPDX-License-Identifier: Apache-2.0
#pragma once
// The capture file's name and the moments a record gives ("Started at", "Ended at") as seconds
// on a common scale.
//
// A capture file is named for the computer and the minute a call came up: MMDD-HHMM-COMPUTERID.TXT.
// The program writes the locale's short date and long time: 10/18/01 14:05:07 (month first),
// 18/10/01 14:05:07 (day first, also with "." or "-"), 2001-10-18 14:05:07, with or without
// AM/PM; the time is left out at midnight. Whether 03/04/26 is the 4th of March or the 3rd of
// April the text does not say; the capture file's name does: it begins with the month and day.
//
// Errors: nothing here throws; a text that cannot be read gives nothing (an empty optional).
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace capture {

// Month, day, "-", hour, minute of a local time, two digits each: "1018-1405".
std::string filePrefix(const std::tm& local);
// The file's name: the prefix, "-", the computer ID, ".TXT".
std::string fileName(std::string_view prefix, std::string_view computerId);

enum class DateOrder { Unknown, MonthFirst, DayFirst };

// Seconds since 1970 on the record's own clock; nothing when the text cannot be read. With the
// order unknown, a date with "/" is read month first and one with "." or "-" day first, unless
// that makes no date (a month over 12).
std::optional<long long> parseMoment(std::string_view text, DateOrder order = DateOrder::Unknown);

// The month and day a capture file's name begins with (MMDD-HHMM-...), when it does.
struct MonthDay {
  int month = 0, day = 0;
};
std::optional<MonthDay> monthDayOfName(std::string_view fileName);

// Which order of day and month makes the date of `started` the day of the file's name or the
// day before it (the name is stamped again when the first character of a call is exchanged,
// which may be after midnight). Unknown when the name says nothing or both orders fit.
DateOrder orderFromName(std::string_view started, const MonthDay& name);

// Whether the date of `started` reads differently month first and day first (03/04/26).
bool ambiguousDate(std::string_view started);

}  // namespace capture
