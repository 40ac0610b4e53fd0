#include "kitbase/services/stats_db.h"

#include <gtest/gtest.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <string>

#include "kitbase/core/strings.h"
#include "kitbase/services/statistics.h"
#include "support/test_root.h"

namespace {

std::string schemaOf(SQLite::Database& db, const std::string& name) {
    SQLite::Statement query(db, "select sql from sqlite_master where name = ?");
    query.bind(1, name);
    return query.executeStep() ? query.getColumn(0).getString() : std::string();
}

long long countOf(SQLite::Database& db, const std::string& table) {
    return db.execAndGet("select count(*) from " + table).getInt64();
}

TEST(StatsDBTest, ANewFileGetsTheWholeSchema) {
    const std::string path = testsupport::makeTempDir("stats") + "/new_stats.db";
    {
        StatsDB stats(S2WS(path));
        EXPECT_FALSE(stats.exists());
        EXPECT_EQ(L"STATS", stats.getTableName());
        ASSERT_NE(nullptr, stats.getDB());
    }
    // SQLite keeps each statement with its first two words in capitals.
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    EXPECT_EQ(
        "CREATE TABLE STATS(ID INTEGER PRIMARY KEY AUTOINCREMENT default 0,name varchars(1024), cnt "
        "integer,descrID integer, date_added datetime)",
        schemaOf(db, "STATS"));
    EXPECT_EQ(
        "CREATE TABLE STATS_DESCRIPTIONS(ID INTEGER PRIMARY KEY ,name varchars(1024),description "
        "varchars(1024))",
        schemaOf(db, "STATS_DESCRIPTIONS"));
    EXPECT_EQ("CREATE INDEX stats_data_idx on STATS(date_added,name)", schemaOf(db, "stats_data_idx"));
    EXPECT_EQ("CREATE INDEX stats_descr_idx on STATS(descrID,ID)", schemaOf(db, "stats_descr_idx"));

    ASSERT_EQ(19, countOf(db, "STATS_DESCRIPTIONS"));
    EXPECT_EQ(0, countOf(db, "STATS"));
    SQLite::Statement query(db, "select ID, name, description from STATS_DESCRIPTIONS order by ID");
    for (const StatEvent& e : getStatsTemplate()) {
        ASSERT_TRUE(query.executeStep());
        EXPECT_EQ(static_cast<long long>(e.id), query.getColumn(0).getInt64());
        EXPECT_EQ(WS2S(e.name), query.getColumn(1).getString());
        EXPECT_EQ(WS2S(e.description), query.getColumn(2).getString());
    }
}

TEST(StatsDBTest, AnExistingFileIsNotCreatedAgain) {
    const std::string path = testsupport::makeTempDir("stats") + "/s.db";
    { StatsDB first(S2WS(path)); }
    {
        SQLite::Database db(path, SQLite::OPEN_READWRITE);
        db.exec("delete from STATS_DESCRIPTIONS where ID = 3");
    }
    StatsDB again(S2WS(path));
    EXPECT_TRUE(again.exists());
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    EXPECT_EQ(18, countOf(db, "STATS_DESCRIPTIONS"));
}

TEST(StatsDBTest, AFailedCreateLeavesNoHalfSchema) {
    const std::string path = testsupport::makeTempDir("stats") + "/half.db";
    {
        // A database of its own that already holds a table of the schema.
        SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("create table STATS_DESCRIPTIONS(x)");
        db.exec("create table filler(x)");
        db.exec("insert into filler values (randomblob(4000))");
    }
    StatsDB stats(S2WS(path));
    ASSERT_TRUE(stats.exists());
    EXPECT_EQ(4u, stats.Create());
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    EXPECT_EQ("", schemaOf(db, "STATS"));
    // The container stays usable.
    EXPECT_EQ(0u, SQLCall(stats.getDB(), L"insert into filler values (1)"));
}

TEST(StatsDBTest, AFileThatCannotBeOpenedLeavesNoDatabase) {
    const std::string folder = testsupport::makeTempDir("notadb");
    StatsDB stats(S2WS(folder));
    EXPECT_EQ(nullptr, stats.getDB());
    EXPECT_EQ(5u, stats.Create());

    _Statistics counters;
    counters.inc(ERRORS, 2);
    EXPECT_FALSE(counters.flush(&stats));
    EXPECT_EQ(2u, counters.getCount(ERRORS));
}

}  // namespace
