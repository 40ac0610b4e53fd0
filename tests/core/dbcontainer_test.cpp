#include "kitbase/core/dbcontainer.h"

#include <gtest/gtest.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <string>

#include "kitbase/core/strings.h"
#include "support/test_root.h"

namespace {

// A container whose schema is one table; counts how often it was asked to make it.
class CountingContainer : public DBContainer {
public:
    explicit CountingContainer(const std::wstring& path) : DBContainer(path) {
        setTableName(L"T");
        if (!exists())
            Create();
    }
    unsigned int Create() override {
        ++creates;
        return SQLCall(getDB(), L"create table T(name text, n integer)") == 0 ? 0 : 4;
    }
    int creates = 0;
};

std::string dbPath(const std::string& name) {
    return testsupport::makeTempDir("db") + "/" + name;
}

TEST(DBContainerTest, SchemaIsMadeOnlyForANewOrTooSmallFile) {
    const std::string path = dbPath("t.db");
    {
        CountingContainer fresh(S2WS(path));
        EXPECT_FALSE(fresh.exists());
        EXPECT_EQ(1, fresh.creates);
        EXPECT_EQ(L"T", fresh.getTableName());
        ASSERT_NE(nullptr, fresh.getDB());
    }
    ASSERT_GE(std::filesystem::file_size(path), 1025u);
    CountingContainer again(S2WS(path));
    EXPECT_TRUE(again.exists());
    EXPECT_EQ(0, again.creates);

    // 1,024 bytes or less counts as new.
    const std::string small = dbPath("small.db");
    testsupport::writeFile(small, std::string(1024, '\0'));
    CountingContainer tiny(S2WS(small));
    EXPECT_FALSE(tiny.exists());
}

TEST(DBContainerTest, AFileThatCannotBeOpenedLeavesNoDatabase) {
    const std::string folder = testsupport::makeTempDir("notadb");  // a folder is no database
    CountingContainer broken(S2WS(folder));
    EXPECT_EQ(nullptr, broken.getDB());
    EXPECT_EQ(5u, SQLCall(broken.getDB(), L"create table X(a)"));
    unsigned int count = 99;
    EXPECT_EQ(5u, SQLCall_getCount(broken.getDB(), count, L"T"));
    EXPECT_EQ(0u, count);
}

class SQLCallTest : public ::testing::Test {
protected:
    SQLCallTest() : container(S2WS(dbPath("calls.db"))) {}
    SQLite::Database* db() { return container.getDB(); }
    CountingContainer container;
};

TEST_F(SQLCallTest, ResultCodes) {
    EXPECT_EQ(5u, SQLCall(nullptr, L"insert into T values('a', 1)"));
    EXPECT_EQ(0u, SQLCall(db(), L"insert into T values('a', 1)"));
    EXPECT_EQ(6u, SQLCall(db(), L"insert into Missing values(1)"));
    EXPECT_EQ(6u, SQLCall(db(), L"this is no SQL"));
}

TEST_F(SQLCallTest, BoundValuesAreStoredExactly) {
    // Quotes of both kinds and a text that names a column stay plain text.
    const std::wstring texts[] = {L"it's", L"say \"hi\"", L"name", L"a'); drop table T; --", L"\u00e9\u4e2d"};
    for (const auto& text : texts)
        ASSERT_EQ(0u, SQLCall(db(), L"insert into T(name, n) values(?, ?)", {text, 7LL}));
    SQLite::Statement rows(*db(), "select name, n, typeof(n) from T order by rowid");
    for (const auto& text : texts) {
        ASSERT_TRUE(rows.executeStep());
        EXPECT_EQ(text, S2WS(rows.getColumn(0).getString()));
        EXPECT_EQ(7, rows.getColumn(1).getInt());
        EXPECT_EQ("integer", rows.getColumn(2).getString());
    }
    EXPECT_FALSE(rows.executeStep());
}

TEST_F(SQLCallTest, CountAndValues) {
    unsigned int count = 99;
    EXPECT_EQ(0u, SQLCall_getCount(db(), count, L"T"));
    EXPECT_EQ(0u, count);
    ASSERT_EQ(0u, SQLCall(db(), L"insert into T values('first', 42)"));
    ASSERT_EQ(0u, SQLCall(db(), L"insert into T values('second', 43)"));
    EXPECT_EQ(0u, SQLCall_getCount(db(), count, L"T"));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(7u, SQLCall_getCount(db(), count, L"Missing"));
    EXPECT_EQ(0u, count);

    unsigned int value = 99;
    EXPECT_EQ(0u, SQLCall_getIntValue(db(), L"select n from T where name='second'", L"n", value));
    EXPECT_EQ(43u, value);
    EXPECT_EQ(8u, SQLCall_getIntValue(db(), L"select n from T where name='none'", L"n", value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(8u, SQLCall_getIntValue(db(), L"select n from T", L"nocolumn", value));
    EXPECT_EQ(5u, SQLCall_getIntValue(nullptr, L"select n from T", L"n", value));

    std::wstring text = L"old";
    EXPECT_EQ(0u, SQLCall_getStringValue(db(), L"select name from T where n=42", L"name", text));
    EXPECT_EQ(L"first", text);
    EXPECT_EQ(8u, SQLCall_getStringValue(db(), L"select name from T where n=0", L"name", text));
    EXPECT_EQ(L"", text);
    EXPECT_EQ(8u, SQLCall_getStringValue(db(), L"select broken", L"name", text));
    EXPECT_EQ(5u, SQLCall_getStringValue(nullptr, L"select name from T", L"name", text));
}

}  // namespace
