#include "kitbase/core/datetime.h"

#include <gtest/gtest.h>

#include <climits>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

// Local time is a fixed zone two hours east of UTC without daylight saving.
constexpr long long kSat = 1625295907;      // Sat 3 Jul 2021 09:05:07 local
constexpr long long kJanuary = 1642249815;  // Sat 15 Jan 2022 14:30:15 local
long long fixedNow = kSat;
long long fixedClock() {
    return fixedNow;
}

class DateTime : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "XST-2", 1);
        tzset();
        fixedNow = kSat;
        previous_ = kitbase::setTimeSource(fixedClock);
    }
    void TearDown() override { kitbase::setTimeSource(previous_); }

    static std::string traceOf(const std::function<void()>& body) {
        const std::string path = testsupport::testRoot() + "/date-trace.log";
        __trace__._inittrace(S2WS(path), TRACE_DEBUG, false, false, false);
        body();
        __trace__._closetrace(false);
        return testsupport::readFile(path);
    }

private:
    kitbase::TimeSource previous_ = nullptr;
};

}  // namespace

TEST_F(DateTime, WritersUseLocalTimeWithoutPadding) {
    EXPECT_EQ(getTimeDate(0), L"2021-7-3_9-5-7");
    EXPECT_EQ(getTimeDate(kSat), L"2021-7-3_9-5-7");
    EXPECT_EQ(getTimeDate(1640469598), L"2021-12-25_23-59-58");
    EXPECT_EQ(wcdate(nullptr), L"2021-7-3");
    const long long xmas = 1640469598;
    EXPECT_EQ(wcdate(&xmas), L"2021-12-25");
    EXPECT_EQ(getCurrentTimeDate(), L"3-7-2021 9:5");
    EXPECT_EQ(getCurrentTime(), L"9:5");
    EXPECT_EQ(getCurrentDayofMonth(), L"3");
    EXPECT_EQ(getCurrentDayofWeek(), L"6");
    fixedNow = kJanuary;
    EXPECT_EQ(getCurrentTimeDate(), L"15-1-2022 14:30");
    EXPECT_EQ(getCurrentDayofWeek(), L"6");
}

TEST_F(DateTime, ClassicFormIsPaddedAndHasNoLineFeed) {
    const long long t = kSat;
    EXPECT_EQ(wctime(&t), L"Sat Jul 03 09:05:07 2021");
    EXPECT_EQ(sctime(&t), "Sat Jul 03 09:05:07 2021");
    EXPECT_EQ(wctime(nullptr), L"");
    EXPECT_EQ(sctime(nullptr), "");
}

TEST_F(DateTime, TimesTheLibraryCannotConvertGiveEmptyTexts) {
    const long long huge = std::numeric_limits<long long>::max();
    EXPECT_EQ(wctime(&huge), L"");
    EXPECT_EQ(getTimeDate(huge), L"");
    EXPECT_EQ(wcdate(&huge), L"");
}

TEST_F(DateTime, ReadsEightDigitDatesAtTheCurrentTimeOfDay) {
    fixedNow = kJanuary;
    EXPECT_EQ(extractTimeFromYYMMDD(L"20210703"), 1625315415);  // 3 Jul 2021 14:30:15
    EXPECT_EQ(extractTimeFromYYMMDD(L"202107"), 1625056215);    // day 0: 30 Jun 2021
    EXPECT_EQ(extractTimeFromYYMMDD(L"20217"), 0);              // too short: no result
    EXPECT_EQ(extractTimeFromYYMMDD(L""), 0);
}

TEST_F(DateTime, ReadsTheReleaseDateForm) {
    fixedNow = kJanuary;
    long long t = 0;
    const std::string log = traceOf([&] { t = extractTime(L"Engine:20210703 0905"); });
    EXPECT_EQ(t, 1625295915);  // 3 Jul 2021 09:05 with the current seconds
    EXPECT_NE(log.find("Created date 'Sat Jul 03 09:05:15 2021' from string 'Engine:20210703 0905'"),
              std::string::npos)
        << log;
    EXPECT_EQ(extractTime(L"Engine:20211301-0000"), 1640988015);  // month 13: January next year
    EXPECT_NO_THROW(EXPECT_EQ(extractTime(L"Engine:20210703 0"), 0));
    EXPECT_NO_THROW(EXPECT_EQ(extractTime(L""), 0));
}

TEST_F(DateTime, ReadsTheConfigurationHeaderForm) {
    fixedNow = kJanuary;
    EXPECT_EQ(extractTime2(L"3-7-2021 9:5"), 1625295915);
    EXPECT_EQ(extractTime2(getCurrentTimeDate()), kJanuary);
    EXPECT_EQ(extractTime2(L"3-7-2021"), 0);  // no blank: the whole text is the time part too
    EXPECT_EQ(extractTime2(L"3-7 9:5"), 0);
    EXPECT_EQ(extractTime2(L"3-7-2021 9"), 0);
    EXPECT_EQ(extractTime2(L""), 0);
}

TEST_F(DateTime, MidnightOfADate) {
    EXPECT_EQ(MKTimestamp(2021, 7, 3), 1625263200);
    EXPECT_EQ(GetDateTime(L"2021-07-03"), 1625263200);
    EXPECT_EQ(GetDateTime(L"2021/7/3"), 1625263200);
    EXPECT_EQ(MKTimestamp(2021, 6, 33), 1625263200);  // normalised
}

TEST_F(DateTime, FieldsBeyondTheCalendarsRangeAreUnreadable) {
    EXPECT_EQ(extractTime2(L"1-1-2147483648 1:1"), 0);
    EXPECT_EQ(extractTime2(L"1-2147483648-2021 1:1"), 0);
    EXPECT_EQ(GetDateTime(L"-2147483647/1/1"), 0);
    EXPECT_EQ(MKTimestamp(INT_MIN, 1, 1), 0);
    EXPECT_EQ(MKTimestamp(2021, INT_MIN, 1), 0);
}

TEST_F(DateTime, ComparesReleaseDates) {
    const std::wstring early = L"Engine:20210703 0905";
    const std::wstring late = L"Engine:20210703 0906";
    std::string log = traceOf([&] { EXPECT_EQ(compareDates(early, early), 0u); });
    EXPECT_NE(log.find("The release date of the two files is identical."), std::string::npos) << log;
    EXPECT_EQ(compareDates(late, early), 1u);
    log = traceOf([&] { EXPECT_EQ(compareDates(early, late), 0u); });
    EXPECT_NE(log.find("The new date older or identical to the old date."), std::string::npos) << log;
}

TEST_F(DateTime, UnreadableDatesAreNeverLater) {
    const std::wstring good = L"Engine:20210703 0905";
    std::string log;
    log = traceOf([&] {
        EXPECT_NO_THROW(EXPECT_EQ(compareDates(L"short", good), 0u));
        // An unreadable old date does not make any new date later.
        EXPECT_NO_THROW(EXPECT_EQ(compareDates(good, L"short"), 0u));
        EXPECT_NO_THROW(EXPECT_EQ(compareDates(good, L""), 0u));
    });
    EXPECT_NE(log.find("[DEBUG]"), std::string::npos) << log;
    EXPECT_NE(log.find("'short'"), std::string::npos) << log;
}
