#include "kitbase/core/logdb.h"

#include <SQLiteCpp/Exception.h>

#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"

#include "kitbase/core/folders.h"

namespace {

constexpr const wchar_t* kCreateTable =
    L"Create table LOGS(ID INTEGER PRIMARY KEY AUTOINCREMENT default 0,TEXT varchars(1024), date_added "
    L"datetime,p1 varchars(100),p2 varchars(100),p3 varchars(100),type varchars(10),thid numeric default 0);";
constexpr const wchar_t* kCreateIndex = L"CREATE index time_type on LOGS(date_added,type)";
constexpr const wchar_t* kInsert =
    L"insert into LOGS(text,date_added,p1,p2,p3,type,thid) values(?,?,?,?,?,?,?);";

}  // namespace

LogDBContainer::LogDBContainer(const std::wstring& path) : DBContainer(path) {
    setTableName(L"LOGS");
}

LogDBContainer::~LogDBContainer() = default;

unsigned int LogDBContainer::Create() {
    if (!getDB())
        return 5;
    AutoCriticalSection guard(getLock());
    try {
        __trace__.debug(L"Creating table LOGS ");
        if (SQLCall(getDB(), kCreateTable) != 0) {
            __trace__.error(L"Cannot create table LOGS");
            return 4;
        }
        if (SQLCall(getDB(), kCreateIndex) != 0) {
            __trace__.error(L"Cannot create index time_type for table LOGS");
            return 4;
        }
        return 0;
    } catch (const std::exception& e) {
        __trace__.debug(L"Cannot create LOG tables in DB: Error: '%ls'", e.what());
        return 4;
    }
}

LogDB::LogDB() : LogDB(getLogDB()) {}

LogDB::LogDB(const std::wstring& path) : container_(std::make_unique<LogDBContainer>(path)) {
    if (!container_->exists())
        container_->Create();
}

LogDB::~LogDB() = default;

LogDB::LogDB(LogDB&& other) noexcept = default;

LogDB& LogDB::operator=(LogDB&& other) noexcept = default;

std::wstring LogDB::dateText(const std::tm& t) {
    return kitbase::wformat(L"%d-%d-%d %d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                            t.tm_min, t.tm_sec);
}

unsigned int LogDB::addEntry(const std::wstring& type, const std::wstring& text, int threadId) {
    if (!container_ || !container_->getDB())
        return 5;
    AutoCriticalSection guard(container_->getLock());
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    std::vector<std::wstring> parts;
    ExtractTokens(text, L"'", L"'", parts);
    std::wstring p[3];
    if (!parts.empty() && parts.size() <= 3) {
        for (size_t i = 0; i < parts.size(); ++i)
            p[i] = parts[i];
    }
    return SQLCall(container_->getDB(), kInsert,
                   {text, dateText(local), p[0], p[1], p[2], type, static_cast<long long>(threadId)});
}
