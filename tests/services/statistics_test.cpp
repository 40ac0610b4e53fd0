#include "kitbase/services/statistics.h"

#include <gtest/gtest.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <string>
#include <thread>
#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/services/stats_db.h"
#include "support/test_root.h"

namespace {

std::string dbPath() {
    return testsupport::makeTempDir("stats") + "/stats.db";
}

// The rows of STATS as name, count and counter id, in insertion order.
struct Row {
    std::string name;
    long long count;
    long long id;
    std::string date;
};

std::vector<Row> statsRows(const std::string& path) {
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    SQLite::Statement query(db, "select name, cnt, descrID, date_added from STATS order by ID");
    std::vector<Row> rows;
    while (query.executeStep())
        rows.push_back({query.getColumn(0).getString(), query.getColumn(1).getInt64(),
                        query.getColumn(2).getInt64(), query.getColumn(3).getString()});
    return rows;
}

TEST(StatisticsTest, TemplateHoldsTheNineteenCountersInIdOrder) {
    const std::vector<StatEvent>& events = getStatsTemplate();
    ASSERT_EQ(19u, events.size());
    for (uint32_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(i, static_cast<uint32_t>(events[i].id));
        EXPECT_EQ(0u, events[i].count);
    }
    EXPECT_EQ(L"FILES_ALLOWED", events[FILES_ALLOWED].name);
    EXPECT_EQ(L"Number of infected files allowed to be accessed", events[FILES_ALLOWED].description);
    EXPECT_EQ(L"UPDATESREMOTETRIGGERED", events[UPDATESREMOTETRIGGERED].name);
    EXPECT_EQ(L"Total number of update attempts triggered remote (not scheduled)",
              events[UPDATESREMOTETRIGGERED].description);
    EXPECT_EQ(L"DETECTIONS", events[DETECTIONS].name);
    EXPECT_EQ(L"Number of infected files when greater than 0 or 0 if manually set by the client",
              events[DETECTIONS].description);
}

TEST(StatisticsTest, StatementsOfACounter) {
    StatEvent scanned = getStatsTemplate()[FILES_SCANNED];
    EXPECT_EQ(
        L"Insert or replace into STATS_DESCRIPTIONS(id,name,description) values (1,\"FILES_SCANNED\",\"Total "
        L"number of files scanned\");",
        scanned.formatSQLDescr());
    scanned.count = 42;
    EXPECT_EQ(
        L"insert into STATS(name,date_added,cnt, descrID) values(\"FILES_SCANNED\",\"2021-3-7 9:5:3\",42,1);",
        scanned.formatSQLStat(L"2021-3-7 9:5:3"));

    StatEvent copy(DENY, L"d", L"n");
    copy = scanned;
    EXPECT_EQ(scanned.name, copy.name);
    EXPECT_EQ(scanned.description, copy.description);
    EXPECT_EQ(scanned.id, copy.id);
    EXPECT_EQ(42u, copy.count);
}

TEST(StatisticsTest, CountingRaisesDetectionsForInfectedAndSuspicious) {
    _Statistics stats;
    EXPECT_EQ(L"Statistics", stats.className());
    EXPECT_FALSE(stats.isFlushed());
    EXPECT_EQ(2u, stats.inc(INFECTED, 2));
    EXPECT_EQ(2u, stats.getCount(DETECTIONS));
    EXPECT_EQ(1u, stats.inc(SUSPICIOUS, 1));
    EXPECT_EQ(3u, stats.getCount(DETECTIONS));
    EXPECT_EQ(1u, stats.inc(FILES_SCANNED));
    EXPECT_EQ(3u, stats.getCount(DETECTIONS));

    // Counts wrap at 2^32.
    EXPECT_EQ(0xFFFFFFFFu, stats.inc(DENY, 0xFFFFFFFFu));
    EXPECT_EQ(1u, stats.inc(DENY, 2));

    // An unknown counter changes nothing.
    const std::wstring before = stats.toString();
    EXPECT_EQ(0xFFFFFFFFu, stats.inc(static_cast<StatsEvents>(19), 1));
    EXPECT_FALSE(stats.reset(static_cast<StatsEvents>(19)));
    EXPECT_EQ(before, stats.toString());

    // Resetting one counter leaves the set dirty.
    EXPECT_TRUE(stats.reset(DETECTIONS));
    EXPECT_EQ(0u, stats.getCount(DETECTIONS));
    EXPECT_EQ(2u, stats.getCount(INFECTED));
    EXPECT_FALSE(stats.isFlushed());

    stats.reset();
    EXPECT_TRUE(stats.isFlushed());
    for (const StatEvent& e : stats)
        EXPECT_EQ(0u, e.count);
}

TEST(StatisticsTest, TextFormsListEveryCounterInIdOrder) {
    _Statistics stats;
    stats.inc(ODSCANNED, 7);
    const std::vector<std::wstring> lines = split(stats.toString(), L'\n');
    ASSERT_EQ(19u, lines.size());
    EXPECT_EQ(L"FILES_ALLOWED:0", lines.front());
    EXPECT_EQ(L"ODSCANNED:7", lines[17]);
    EXPECT_EQ(L"DETECTIONS:0", lines.back());
    EXPECT_EQ(L'\n', stats.toString().back());

    const std::wstring described = stats.toStringWithDescription();
    const std::vector<std::wstring> long_lines = split(described, L'\n');
    ASSERT_EQ(19u, long_lines.size());
    EXPECT_EQ(L"Number of infected files allowed to be accessed:0", long_lines.front());
    EXPECT_EQ(L"Number of files last scanned on demand:7", long_lines[17]);
    EXPECT_EQ(L'\n', described.back());
}

TEST(StatisticsTest, FlushWritesEveryCounterOnceThenSkips) {
    const std::string path = dbPath();
    StatsDB db(S2WS(path));
    _Statistics stats;
    stats.inc(INFECTED, 3);
    stats.inc(FILES_SCANNED, 10);

    ASSERT_TRUE(stats.flush(&db));
    EXPECT_TRUE(stats.isFlushed());
    EXPECT_EQ(0u, stats.getCount(INFECTED));
    std::vector<Row> rows = statsRows(path);
    ASSERT_EQ(19u, rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(static_cast<long long>(i), rows[i].id);
        EXPECT_EQ(WS2S(getStatsTemplate()[i].name), rows[i].name);
    }
    EXPECT_EQ(3, rows[INFECTED].count);
    EXPECT_EQ(10, rows[FILES_SCANNED].count);
    EXPECT_EQ(3, rows[DETECTIONS].count);
    EXPECT_EQ(0, rows[DENY].count);
    // year-month-day hour:minute:second without leading zeros
    int y = 0, mo = 0, d = 0, h = -1, mi = -1, s = -1;
    ASSERT_EQ(6, sscanf(rows[0].date.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s));
    EXPECT_GE(y, 2020);
    EXPECT_EQ(std::to_string(mo), rows[0].date.substr(5, rows[0].date.find('-', 5) - 5));

    // Nothing counted since: the second commit writes nothing.
    EXPECT_FALSE(stats.flush(&db));
    EXPECT_EQ(19u, statsRows(path).size());

    // Without a database nothing happens and the counts stay.
    stats.inc(DENY, 4);
    EXPECT_FALSE(stats.flush(nullptr));
    EXPECT_EQ(4u, stats.getCount(DENY));
    EXPECT_TRUE(stats.flush(&db));
    EXPECT_EQ(38u, statsRows(path).size());
}

TEST(StatisticsTest, AFreshSetCommitsOnceEvenWhenNothingWasCounted) {
    const std::string path = dbPath();
    StatsDB db(S2WS(path));
    _Statistics stats;
    EXPECT_TRUE(stats.flush(&db));
    EXPECT_EQ(19u, statsRows(path).size());
}

// Ways a commit can fail: the database locked by another connection, or refusing
// writes. The counts must survive and the set stay dirty.
TEST(StatisticsTest, FailedCommitKeepsTheCountsAndWritesNoRow) {
    for (const bool locked : {true, false}) {
        SCOPED_TRACE(locked ? "locked" : "read-only");
        const std::string path = dbPath();
        StatsDB db(S2WS(path));
        _Statistics stats;
        stats.inc(MOVETOQUA, 5);
        {
            SQLite::Database other(path, SQLite::OPEN_READWRITE);
            if (locked) {
                other.exec("BEGIN EXCLUSIVE");
            } else {
                ASSERT_EQ(0u, SQLCall(db.getDB(), L"PRAGMA query_only=1"));
            }

            EXPECT_FALSE(stats.flush(&db));
            EXPECT_FALSE(stats.isFlushed());
            EXPECT_EQ(5u, stats.getCount(MOVETOQUA));
            if (locked)
                other.exec("ROLLBACK");
        }
        if (!locked) {
            ASSERT_EQ(0u, SQLCall(db.getDB(), L"PRAGMA query_only=0"));
        }
        EXPECT_EQ(0u, statsRows(path).size());

        // The next commit writes the kept counts.
        ASSERT_TRUE(stats.flush(&db));
        const std::vector<Row> rows = statsRows(path);
        ASSERT_EQ(19u, rows.size());
        EXPECT_EQ(5, rows[MOVETOQUA].count);
    }
}

TEST(StatisticsTest, NoCountIsLostWhileThreadsCountAndCommit) {
    const std::string path = dbPath();
    StatsDB db(S2WS(path));
    _Statistics stats;
    constexpr int kThreads = 4;
    constexpr int kIncrements = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&stats] {
            for (int i = 0; i < kIncrements; ++i)
                stats.inc(INFECTED);
        });
    std::thread committer([&] {
        for (int i = 0; i < 20; ++i) {
            stats.flush(&db);
            std::this_thread::yield();
        }
    });
    for (std::thread& t : threads)
        t.join();
    committer.join();
    stats.flush(&db);

    long long infected = 0;
    long long detections = 0;
    for (const Row& row : statsRows(path)) {
        if (row.id == INFECTED)
            infected += row.count;
        if (row.id == DETECTIONS)
            detections += row.count;
    }
    EXPECT_EQ(kThreads * kIncrements, infected);
    EXPECT_EQ(kThreads * kIncrements, detections);
}

TEST(StatisticsTest, OneProcessWideSet) {
    EXPECT_EQ(&_Statistics::getInstance(), &_Statistics::getInstance());
}

}  // namespace
