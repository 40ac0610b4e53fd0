#include "kitbase/core/dbcontainer.h"

#include <unistd.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include "kitbase/core/files.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/private_files.h"

namespace {

// A file smaller than this holds no usable database yet.
constexpr uint32_t kMinDatabaseSize = 1025;

std::wstring fileNameOf(SQLite::Database* db) {
    return S2WS(db->getFilename());
}

}  // namespace

DBContainer::DBContainer(const std::wstring& path) : path_(path) {
    AutoCriticalSection guard(lock_);
    existed_ = fileExists(path_) && tgetFileSize(path_) >= kMinDatabaseSize;
    __trace__.debug(L"Loading DB:%s", path_);
    try {
        // Created private (the logs and counts are not other users' business); SQLite
        // gives its journal files the same mode.
        if ((flags_ & SQLite::OPEN_CREATE) != 0)
            if (int fd = kitbase::openPrivateAppend(WS2S(path_)); fd >= 0)
                close(fd);
        db_ = std::make_unique<SQLite::Database>(WS2S(path_), flags_, 0);
        __trace__.debug(L"<---- Connection to DB %s was successful", path_);
    } catch (const std::exception& e) {
        db_.reset();
        __trace__.error(L"Cannot open DB %ls: %s", path_, e.what());
    }
}

DBContainer::~DBContainer() {
    __trace__.debug(L"Closing DB: %ls", path_);
    AutoCriticalSection guard(lock_);
    db_.reset();
}

unsigned int SQLCall(SQLite::Database* db, const std::wstring& statement) {
    return SQLCall(db, statement, {});
}

unsigned int SQLCall(SQLite::Database* db, const std::wstring& statement,
                     const std::vector<SQLValue>& values) {
    if (!db)
        return 5;
    try {
        SQLite::Statement query(*db, WS2S(statement));
        int index = 1;
        for (const SQLValue& value : values) {
            if (const auto* text = std::get_if<std::wstring>(&value))
                query.bind(index, WS2S(*text));
            else
                query.bind(index, static_cast<int64_t>(std::get<long long>(value)));
            ++index;
        }
        query.exec();
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"Cannot use database %ls to execute statement '%ls': %ls", fileNameOf(db), statement,
                        e.what());
        return 6;
    }
}

unsigned int SQLCall_getCount(SQLite::Database* db, unsigned int& count, const std::wstring& table) {
    count = 0;
    if (!db)
        return 5;
    __trace__.debug(L"Getting count from table %ls in DB %ls", table, fileNameOf(db));
    try {
        SQLite::Statement query(*db, "select count(*) as counttotal from " + WS2S(table));
        if (!query.executeStep()) {
            __trace__.debug(L"Function %ls: Returning  %d as value for OA_ERROR_CANT_GET_COUNT",
                            L"SQLCall_getCount", 7);
            return 7;
        }
        count = static_cast<unsigned int>(query.getColumn("counttotal").getInt64());
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"Cannot get count from table %ls in DB %s: %s", table, fileNameOf(db), e.what());
        return 7;
    }
}

unsigned int SQLCall_getIntValue(SQLite::Database* db, const std::wstring& query, const std::wstring& column,
                                 unsigned int& value) {
    value = 0;
    if (!db)
        return 5;
    __trace__.debug(L"DB:%s : Getting value %s with %s", fileNameOf(db), column, query);
    try {
        SQLite::Statement statement(*db, WS2S(query));
        if (!statement.executeStep()) {
            __trace__.debug(L"Function %ls: Returning  %d as value for OA_ERROR_CANT_GET_VALUE",
                            L"SQLCall_getIntValue", 8);
            return 8;
        }
        value = static_cast<unsigned int>(statement.getColumn(WS2S(column).c_str()).getInt64());
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"DB:%ls : FAILED Getting value '%ls' with '%ls'. Error:%s", fileNameOf(db), column,
                        query, e.what());
        return 8;
    }
}

unsigned int SQLCall_getStringValue(SQLite::Database* db, const std::wstring& query,
                                    const std::wstring& column, std::wstring& value) {
    value.clear();
    if (!db)
        return 5;
    __trace__.debug(L"DB:%s : Getting value %s with %s", fileNameOf(db), column, query);
    try {
        SQLite::Statement statement(*db, WS2S(query));
        if (!statement.executeStep()) {
            __trace__.debug(L"Function %ls: Returning  %d as value for OA_ERROR_CANT_GET_VALUE",
                            L"SQLCall_getStringValue", 8);
            return 8;
        }
        value = S2WS(statement.getColumn(WS2S(column).c_str()).getString());
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"DB:%ls : FAILED Getting value %s with %s (%s)", fileNameOf(db), column, query,
                        e.what());
        return 8;
    }
}
