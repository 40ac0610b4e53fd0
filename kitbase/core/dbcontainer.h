#pragma once
// The owner of one SQLite database file: opens or creates it, remembers whether a
// usable file was there before (so that a subclass creates its schema only once),
// names the subclass's table and guards the connection with a lock. Statements go
// through SQLCall and its kin, which turn every SQLite failure into a result code.
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "kitbase/core/locks.h"
#include "kitbase/export.h"

namespace SQLite {
class Database;
}

class KITBASE_API DBContainer {
public:
    // Opens (creating it when missing) the database file at `path`. A file that
    // cannot be opened leaves the container without a database: every operation on
    // it then answers 5.
    explicit DBContainer(const std::wstring& path);
    virtual ~DBContainer();
    DBContainer(const DBContainer&) = delete;
    DBContainer& operator=(const DBContainer&) = delete;

    // Makes the schema; 0 ok, 4 failed, 5 no database.
    virtual unsigned int Create() = 0;

    // The file existed with at least 1,025 bytes before it was opened.
    bool exists() const { return existed_; }
    // The open connection, null when the file could not be opened.
    SQLite::Database* getDB() const { return db_.get(); }
    const std::wstring& getPath() const { return path_; }
    const std::wstring& getTableName() const { return tableName_; }
    void setTableName(const std::wstring& name) { tableName_ = name; }
    // Guards the connection; re-entrant.
    CriticalSection& getLock() { return lock_; }

    // Read-write, create when missing.
    static constexpr int kOpenFlags = 6;

private:
    std::unique_ptr<SQLite::Database> db_;
    int flags_ = kOpenFlags;
    bool existed_ = false;
    std::wstring path_;
    std::wstring tableName_;
    CriticalSection lock_;
};

// One value bound to a "?" parameter of a statement: a text (stored as UTF-8) or an
// integer.
using SQLValue = std::variant<std::wstring, long long>;

// Runs one statement: 0 ok, 5 no database, 6 SQLite error (logged at DEBUG).
KITBASE_API unsigned int SQLCall(SQLite::Database* db, const std::wstring& statement);
// The same with the values bound to the statement's parameters in order, so that no
// text value has to be quoted inside the statement.
KITBASE_API unsigned int SQLCall(SQLite::Database* db, const std::wstring& statement,
                                 const std::vector<SQLValue>& values);
// Number of rows of `table`: 0 ok, 5 no database, 7 no count.
KITBASE_API unsigned int SQLCall_getCount(SQLite::Database* db, unsigned int& count,
                                          const std::wstring& table);
// The named integer column of the query's first row: 0 ok, 5 no database, 8 no value.
KITBASE_API unsigned int SQLCall_getIntValue(SQLite::Database* db, const std::wstring& query,
                                             const std::wstring& column, unsigned int& value);
// The named text column of the query's first row: 0 ok, 5 no database, 8 no value.
KITBASE_API unsigned int SQLCall_getStringValue(SQLite::Database* db, const std::wstring& query,
                                                const std::wstring& column, std::wstring& value);
