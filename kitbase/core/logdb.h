#pragma once
// The log database: ERROR and ALERT trace records kept in the table LOGS for later
// inspection. LogDBContainer owns the database file; LogDB is the trace log's link
// to it.
#include <ctime>
#include <memory>
#include <string>

#include "kitbase/core/dbcontainer.h"
#include "kitbase/export.h"

class KITBASE_API LogDBContainer : public DBContainer {
public:
    explicit LogDBContainer(const std::wstring& path);
    ~LogDBContainer() override;

    // Creates the table LOGS and its index: 0 ok, 4 failed, 5 no database.
    unsigned int Create() override;
};

class KITBASE_API LogDB {
public:
    // Opens (creating it and its schema when new) the product's log database.
    LogDB();
    // The same on another database file.
    explicit LogDB(const std::wstring& path);
    virtual ~LogDB();
    LogDB(const LogDB&) = delete;
    LogDB& operator=(const LogDB&) = delete;
    LogDB(LogDB&& other) noexcept;
    LogDB& operator=(LogDB&& other) noexcept;

    // Stores one record: the level name, the message and the writing thread's id.
    // 0 stored, 5 no database, 6 SQLite error.
    virtual unsigned int addEntry(const std::wstring& type, const std::wstring& text, int threadId);

    // The container, null after a move.
    LogDBContainer* container() const { return container_.get(); }

    // The date text of an entry: year-month-day hour:minute:second, plain decimal
    // numbers without leading zeros (2021-7-3 9:5:7).
    static std::wstring dateText(const std::tm& t);

private:
    std::unique_ptr<LogDBContainer> container_;
};
