#include "kitbase/services/stats_db.h"

#include "kitbase/core/trace.h"
#include "kitbase/services/statistics.h"

namespace {

constexpr const wchar_t* kCreateStats =
    L"Create table STATS(ID INTEGER PRIMARY KEY AUTOINCREMENT default 0,name varchars(1024), cnt "
    L"integer,descrID integer, date_added datetime);";
constexpr const wchar_t* kCreateDescriptions =
    L"Create table STATS_DESCRIPTIONS(ID INTEGER PRIMARY KEY ,name varchars(1024),description "
    L"varchars(1024));";
constexpr const wchar_t* kCreateDataIndex = L"CREATE index stats_data_idx on STATS(date_added,name)";
constexpr const wchar_t* kCreateDescrIndex = L"CREATE index stats_descr_idx on STATS(descrID,ID)";

}  // namespace

StatsDB::StatsDB(const std::wstring& path) : DBContainer(path) {
    setTableName(L"STATS");
    if (!exists())
        Create();
}

StatsDB::~StatsDB() = default;

unsigned int StatsDB::Create() {
    SQLite::Database* db = getDB();
    if (!db)
        return 5;
    AutoCriticalSection guard(getLock());
    // The whole schema or nothing: a failing step rolls back what came before it.
    auto fail = [db](const wchar_t* message) {
        __trace__.error(L"%ls", message);
        SQLCall(db, L"ROLLBACK");
        return 4u;
    };
    try {
        if (SQLCall(db, L"BEGIN IMMEDIATE") != 0)
            return fail(L"Cannot create STATS tables: the database is busy");
        __trace__.debug(L"Creating table Stats");
        if (SQLCall(db, kCreateStats) != 0)
            return fail(L"Cannot create table Stats");
        __trace__.debug(L"Creating table StatsDescr");
        if (SQLCall(db, kCreateDescriptions) != 0)
            return fail(L"Cannot create table Stats Descriptions");
        for (const StatEvent& e : _Statistics::getInstance()) {
            if (SQLCall(db, e.formatSQLDescr()) != 0)
                return fail(L"Cannot populate for table Statistics descriptions");
        }
        if (SQLCall(db, kCreateDataIndex) != 0)
            return fail(L"Cannot create index 1 for table STATS");
        if (SQLCall(db, kCreateDescrIndex) != 0)
            return fail(L"Cannot create index 2 for table STATS");
        if (SQLCall(db, L"COMMIT") != 0)
            return fail(L"Cannot create STATS tables: the schema cannot be commited");
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"Cannot create STATS tables in DB: Error: %ls", e.what());
        SQLCall(db, L"ROLLBACK");
        return 4;
    }
}
