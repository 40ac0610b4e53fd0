#include "kitbase/core/logdb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <regex>
#include <string>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "support/test_root.h"

namespace {

struct Row {
    std::wstring text, date, p1, p2, p3, type;
    long long thid = 0;
};

std::vector<Row> readRows(const std::wstring& path) {
    SQLite::Database db(WS2S(path), SQLite::OPEN_READONLY);
    SQLite::Statement q(db, "select TEXT, date_added, p1, p2, p3, type, thid from LOGS order by ID");
    std::vector<Row> rows;
    while (q.executeStep()) {
        rows.push_back({S2WS(q.getColumn(0).getString()), S2WS(q.getColumn(1).getString()),
                        S2WS(q.getColumn(2).getString()), S2WS(q.getColumn(3).getString()),
                        S2WS(q.getColumn(4).getString()), S2WS(q.getColumn(5).getString()),
                        q.getColumn(6).getInt64()});
    }
    return rows;
}

std::wstring tempDb() {
    return S2WS(testsupport::makeTempDir("logdb") + "/log.db");
}

TEST(LogDBTest, SchemaIsExactlyTheLogTableAndItsIndex) {
    const std::wstring path = tempDb();
    { LogDB db(path); }
    SQLite::Database db(WS2S(path), SQLite::OPEN_READONLY);
    SQLite::Statement q(
        db, "select name, sql from sqlite_master where name in ('LOGS','time_type') order by name");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ("LOGS", q.getColumn(0).getString());
    EXPECT_EQ(
        "CREATE TABLE LOGS(ID INTEGER PRIMARY KEY AUTOINCREMENT default 0,TEXT varchars(1024), date_added "
        "datetime,p1 varchars(100),p2 varchars(100),p3 varchars(100),type varchars(10),thid numeric default "
        "0)",
        q.getColumn(1).getString());
    ASSERT_TRUE(q.executeStep());
    // SQLite keeps the statement as given, but for the words it begins with.
    EXPECT_EQ("CREATE INDEX time_type on LOGS(date_added,type)", q.getColumn(1).getString());
}

TEST(LogDBTest, DefaultFileIsTheProductLogDatabase) {
    LogDB db;
    ASSERT_NE(nullptr, db.container());
    EXPECT_EQ(getLogDB(), db.container()->getPath());
    EXPECT_EQ(L"LOGS", db.container()->getTableName());
    EXPECT_EQ(0u, db.addEntry(L"ERROR", L"x", 1));
    // The container names its table itself.
    LogDBContainer container(tempDb());
    EXPECT_EQ(L"LOGS", container.getTableName());
}

TEST(LogDBTest, QuotedPartsOfTheMessage) {
    struct Case {
        std::wstring text, p1, p2, p3;
    };
    const Case cases[] = {
        {L"Cannot open 'C:\\a.txt' for 'scan'", L"C:\\a.txt", L"scan", L""},
        {L"one 'a' two 'b' three 'c'", L"a", L"b", L"c"},
        {L"four 'a' 'b' 'c' 'd'", L"", L"", L""},
        {L"the scanner's engine", L"", L"", L""},
        {L"only 'x' here", L"x", L"", L""},
        {L"empty '' part", L"", L"", L""},
        {L"a \"double\" quote and 'q\"'", L"q\"", L"", L""},
    };
    const std::wstring path = tempDb();
    LogDB db(path);
    for (const auto& c : cases)
        ASSERT_EQ(0u, db.addEntry(L"ALERT", c.text, 17));
    auto rows = readRows(path);
    ASSERT_EQ(std::size(cases), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(WS2S(cases[i].text));
        EXPECT_EQ(cases[i].text, rows[i].text);  // stored unchanged, double quotes included
        EXPECT_EQ(cases[i].p1, rows[i].p1);
        EXPECT_EQ(cases[i].p2, rows[i].p2);
        EXPECT_EQ(cases[i].p3, rows[i].p3);
        EXPECT_EQ(L"ALERT", rows[i].type);
        EXPECT_EQ(17, rows[i].thid);
    }
}

TEST(LogDBTest, DateTextHasNoLeadingZeros) {
    std::tm t{};
    t.tm_year = 2021 - 1900;
    t.tm_mon = 6;
    t.tm_mday = 3;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(L"2021-7-3 9:5:7", LogDB::dateText(t));
    t.tm_mon = 11;
    t.tm_mday = 24;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 0;
    EXPECT_EQ(L"2021-12-24 23:59:0", LogDB::dateText(t));

    const std::wstring path = tempDb();
    LogDB db(path);
    ASSERT_EQ(0u, db.addEntry(L"ERROR", L"now", 1));
    auto rows = readRows(path);
    ASSERT_EQ(1u, rows.size());
    EXPECT_TRUE(std::regex_match(
        WS2S(rows[0].date),
        std::regex(R"([1-9]\d{3}-[1-9]\d?-[1-9]\d? ([1-9]\d?|0):([1-9]\d?|0):([1-9]\d?|0))")))
        << WS2S(rows[0].date);
}

TEST(LogDBTest, ReopeningKeepsRowsAndTooSmallFileIsTreatedAsNew) {
    const std::wstring path = tempDb();
    {
        LogDB db(path);
        ASSERT_EQ(0u, db.addEntry(L"ERROR", L"first", 1));
    }
    {
        LogDB db(path);
        EXPECT_TRUE(db.container()->exists());
        ASSERT_EQ(0u, db.addEntry(L"ERROR", L"second", 1));
    }
    EXPECT_EQ(2u, readRows(path).size());

    // A log database of 1,024 bytes that already holds LOGS: the schema runs again
    // and fails, entries are still written.
    const std::wstring small = tempDb();
    {
        SQLite::Database db(WS2S(small), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("PRAGMA page_size=512");
        db.exec("create table LOGS(ID INTEGER PRIMARY KEY, TEXT, date_added, p1, p2, p3, type, thid)");
    }
    ASSERT_LE(std::filesystem::file_size(WS2S(small)), 1024u);
    LogDB db(small);
    EXPECT_FALSE(db.container()->exists());
    EXPECT_EQ(4u, db.container()->Create());
    EXPECT_EQ(0u, db.addEntry(L"ALERT", L"kept", 2));
}

TEST(LogDBTest, NoDatabaseAnswersFive) {
    const std::wstring folder = S2WS(testsupport::makeTempDir("dir.db"));
    LogDB db(folder);
    EXPECT_EQ(nullptr, db.container()->getDB());
    EXPECT_EQ(5u, db.container()->Create());
    EXPECT_EQ(5u, db.addEntry(L"ERROR", L"lost", 1));
}

TEST(LogDBTest, MoveHandsOverTheContainer) {
    const std::wstring path = tempDb();
    LogDB a(path);
    LogDB b(std::move(a));
    EXPECT_EQ(nullptr, a.container());
    EXPECT_EQ(5u, a.addEntry(L"ERROR", L"nowhere", 1));
    EXPECT_EQ(0u, b.addEntry(L"ERROR", L"here", 1));
    LogDB c(tempDb());
    c = std::move(b);
    EXPECT_EQ(0u, c.addEntry(L"ERROR", L"still here", 1));
    EXPECT_EQ(2u, readRows(path).size());
}

}  // namespace
