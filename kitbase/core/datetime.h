#pragma once
// Date and time texts in local time: the forms written into log and scan file names,
// configuration headers, option defaults and log lines, and the readers of dates
// back from text. Times are seconds since 1970 (UTC).
#include <string>

#include "kitbase/export.h"

// Local clock now: hour ":" minute, unpadded ("9:5").
KITBASE_API std::wstring getCurrentTime();
// Day of the month, 1 to 31.
KITBASE_API std::wstring getCurrentDayofMonth();
// Day of the week, 0 = Sunday to 6.
KITBASE_API std::wstring getCurrentDayofWeek();
// day "-" month "-" year " " hour ":" minute, unpadded ("3-7-2021 9:5").
KITBASE_API std::wstring getCurrentTimeDate();
// year "-" month "-" day "_" hour "-" minute "-" second of `t` (now when 0), unpadded
// ("2021-7-3_9-5-7").
KITBASE_API std::wstring getTimeDate(long long t);
// year "-" month "-" day of `*t` (now when null), unpadded ("2021-7-3").
KITBASE_API std::wstring wcdate(const long long* t);
// The classic 24-character form "Sat Jul 03 09:05:07 2021" of `*t`; empty when null.
KITBASE_API std::wstring wctime(const long long* t);
KITBASE_API std::string sctime(const long long* t);

// The readers below give 0 when the text is too short for the fields they need.
// Fields that do not read as numbers count as 0; values out of range are
// normalised (month 13 is January of the next year).

// "YYYYMMDD": that date at the current local time of day.
KITBASE_API long long extractTimeFromYYMMDD(const std::wstring& s);
// Seven characters of any kind, then "YYYYMMDD", one separator, "HHMM": that local
// date and time with the current seconds.
KITBASE_API long long extractTime(const std::wstring& s);
// The form of getCurrentTimeDate(): that local date and time with the current
// seconds; 0 when the text does not have that form.
KITBASE_API long long extractTime2(const std::wstring& s);
// year, one character, month, one character, day: local midnight of that date
// (daylight saving taken as not in force).
KITBASE_API long long GetDateTime(const std::wstring& s);
KITBASE_API long long MKTimestamp(int year, int month, int day);
// 1 when the date text `a` (form of extractTime) is later than `b`, else 0; a text
// that cannot be read is never later.
KITBASE_API unsigned int compareDates(const std::wstring& a, const std::wstring& b);

namespace kitbase {

// Where the date helpers read "now" from (seconds since 1970); the system clock
// unless replaced. Returns the previous source; null restores the system clock.
using TimeSource = long long (*)();
KITBASE_API TimeSource setTimeSource(TimeSource source);

}  // namespace kitbase
