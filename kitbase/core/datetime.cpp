#include "kitbase/core/datetime.h"

#include <atomic>
#include <climits>
#include <ctime>
#include <optional>
#include <sstream>
#include <type_traits>
#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"

namespace {

std::atomic<kitbase::TimeSource> timeSource{nullptr};

long long now() {
    const kitbase::TimeSource source = timeSource.load();
    return source ? source() : static_cast<long long>(std::time(nullptr));
}

bool toLocal(long long t, std::tm& out) {
    const std::time_t value = static_cast<std::time_t>(t);
    return localtime_r(&value, &out) != nullptr;
}

bool localNow(std::tm& out) {
    return toLocal(now(), out);
}

template <class String>
String classicText(const long long* t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (!t || !toLocal(*t, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11)
        return {};
    const std::string text =
        kitbase::nformat("%s %s %02d %02d:%02d:%02d %d", days[tm.tm_wday], months[tm.tm_mon], tm.tm_mday,
                         tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    if constexpr (std::is_same_v<String, std::string>)
        return text;
    else
        return S2WS(text);
}

// The local time `tm` as seconds since 1970, normalising fields out of range.
long long makeTime(std::tm tm) {
    return static_cast<long long>(std::mktime(&tm));
}

// Puts a date into `tm`, whose year counts from 1900 and whose month from 0; false when
// a shifted field no longer fits (such a date is unreadable).
bool setDate(std::tm& tm, long long year, long long month, long long day) {
    if (year - 1900 < INT_MIN || year - 1900 > INT_MAX || month - 1 < INT_MIN || month - 1 > INT_MAX ||
        day < INT_MIN || day > INT_MAX)
        return false;
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = static_cast<int>(month - 1);
    tm.tm_mday = static_cast<int>(day);
    return true;
}

void logCreated(long long t, const std::wstring& s) {
    __trace__.debug(L"Created date '%ls' from string '%ls'", wctime(&t), s);
}

// The date and time of a text of the extractTime form; nothing when the text is
// too short.
std::optional<long long> readTime(const std::wstring& s) {
    if (s.size() < 18)
        return std::nullopt;
    std::tm tm{};
    localNow(tm);
    tm.tm_year = static_cast<int>(WS2I(s.substr(7, 4))) - 1900;
    tm.tm_mon = static_cast<int>(WS2I(s.substr(11, 2))) - 1;
    tm.tm_mday = static_cast<int>(WS2I(s.substr(13, 2)));
    tm.tm_hour = static_cast<int>(WS2I(s.substr(16, 2)));
    tm.tm_min = static_cast<int>(WS2I(s.substr(18, 2)));
    const long long t = makeTime(tm);
    logCreated(t, s);
    return t;
}

}  // namespace

namespace kitbase {

TimeSource setTimeSource(TimeSource source) {
    return timeSource.exchange(source);
}

}  // namespace kitbase

std::wstring getCurrentTime() {
    std::tm tm{};
    if (!localNow(tm))
        return {};
    return kitbase::wformat(L"%d:%d", tm.tm_hour, tm.tm_min);
}

std::wstring getCurrentDayofMonth() {
    std::tm tm{};
    if (!localNow(tm))
        return {};
    return kitbase::wformat(L"%d", tm.tm_mday);
}

std::wstring getCurrentDayofWeek() {
    std::tm tm{};
    if (!localNow(tm))
        return {};
    return kitbase::wformat(L"%d", tm.tm_wday);
}

std::wstring getCurrentTimeDate() {
    std::tm tm{};
    if (!localNow(tm))
        return {};
    return kitbase::wformat(L"%d-%d-%d %d:%d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
                            tm.tm_min);
}

std::wstring getTimeDate(long long t) {
    std::tm tm{};
    if (!toLocal(t == 0 ? now() : t, tm))
        return {};
    return kitbase::wformat(L"%d-%d-%d_%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                            tm.tm_min, tm.tm_sec);
}

std::wstring wcdate(const long long* t) {
    std::tm tm{};
    if (!toLocal(t ? *t : now(), tm))
        return {};
    return kitbase::wformat(L"%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

std::wstring wctime(const long long* t) {
    return classicText<std::wstring>(t);
}

std::string sctime(const long long* t) {
    return classicText<std::string>(t);
}

long long extractTimeFromYYMMDD(const std::wstring& s) {
    if (s.size() < 6)
        return 0;
    std::tm tm{};
    localNow(tm);
    tm.tm_year = static_cast<int>(WS2I(s.substr(0, 4))) - 1900;
    tm.tm_mon = static_cast<int>(WS2I(s.substr(4, 2))) - 1;
    tm.tm_mday = static_cast<int>(WS2I(s.substr(6, 2)));
    return makeTime(tm);
}

long long extractTime(const std::wstring& s) {
    return readTime(s).value_or(0);
}

long long extractTime2(const std::wstring& s) {
    const auto blank = s.find(L' ');
    const std::wstring datePart = s.substr(0, blank);
    // Without a blank the whole text is read as the time part too.
    const std::wstring timePart = blank == std::wstring::npos ? s : s.substr(blank + 1);
    std::vector<std::wstring> date;
    std::vector<std::wstring> time;
    if (Explode(datePart, L"-", date) != 3 || Explode(timePart, L":", time) != 2)
        return 0;
    std::tm tm{};
    localNow(tm);
    if (!setDate(tm, static_cast<int32_t>(WS2I(date[2])), static_cast<int32_t>(WS2I(date[1])),
                 static_cast<int32_t>(WS2I(date[0]))))
        return 0;
    tm.tm_hour = static_cast<int>(WS2I(time[0]));
    tm.tm_min = static_cast<int>(WS2I(time[1]));
    const long long t = makeTime(tm);
    logCreated(t, s);
    return t;
}

long long GetDateTime(const std::wstring& s) {
    std::wistringstream stream(s);
    int year = 0;
    int month = 0;
    int day = 0;
    wchar_t separator = 0;
    stream >> year >> separator >> month >> separator >> day;
    return MKTimestamp(year, month, day);
}

long long MKTimestamp(int year, int month, int day) {
    std::tm tm{};
    if (!setDate(tm, year, month, day))
        return 0;
    tm.tm_isdst = 0;
    return makeTime(tm);
}

unsigned int compareDates(const std::wstring& a, const std::wstring& b) {
    if (a == b) {
        __trace__.debug(L"The release date of the two files is identical.");
        return 0;
    }
    const std::optional<long long> first = readTime(a);
    const std::optional<long long> second = readTime(b);
    if (!first || !second) {
        __trace__.debug(L"Cannot compare the release dates '%ls' and '%ls': a date cannot be read.", a, b);
        return 0;
    }
    if (*first > *second)
        return 1;
    __trace__.debug(L"The new date older or identical to the old date.");
    return 0;
}
