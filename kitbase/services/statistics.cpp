#include "kitbase/services/statistics.h"

#include <ctime>

#include "kitbase/core/dbcontainer.h"
#include "kitbase/core/logdb.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"

namespace {

struct EventText {
    StatsEvents id;
    const wchar_t* name;
    const wchar_t* description;
};

constexpr EventText kEvents[STATS_EVENTS_COUNT] = {
    {FILES_ALLOWED, L"FILES_ALLOWED", L"Number of infected files allowed to be accessed"},
    {FILES_SCANNED, L"FILES_SCANNED", L"Total number of files scanned"},
    {INFECTED, L"INFECTED", L"Total number of files detected as malicious"},
    {ERRORS, L"ERRORS", L"Total number of errors encountered by the product"},
    {SUSPICIOUS, L"SUSPICIOUS", L"Total number of files detected as suspicious"},
    {MOVETOQUA, L"MOVETOQUA", L"Total number of files moved to quarantine"},
    {DELETED, L"DELETED", L"Total number of files deleted"},
    {DENY, L"DENY", L"Total number of files where the access has been denied to"},
    {RENAME, L"RENAME", L"Total number of files renamed"},
    {UPDATESSTARTED, L"UPDATESSTARTED", L"Total number of update attempts, scheduled and remote triggered"},
    {UPDATESFAILED, L"UPDATESFAILED", L"Total number of updates failed for some reason"},
    {UPDATESSUCCESSFUL, L"UPDATESSUCCESSFUL", L"Total number of successful update attempts"},
    {UPDATESREMOTETRIGGERED, L"UPDATESREMOTETRIGGERED",
     L"Total number of update attempts triggered remote (not scheduled)"},
    {DIRSCANS, L"DIRSCANS", L"Total number of folder scans (scheduled and remote triggered)"},
    {DIRSCANSREMOTETRIGGERED, L"DIRSCANSREMOTETRIGGERED", L"Total number of folder scans remote triggered"},
    {OADEACTIVATED, L"OADEACTIVATED", L"Number of times the OnAccess functionality has been deactivated"},
    {OAACTIVATED, L"OAACTIVATED", L"Number of times the OnAccess functionality has been activated"},
    {ODSCANNED, L"ODSCANNED", L"Number of files last scanned on demand"},
    {DETECTIONS, L"DETECTIONS",
     L"Number of infected files when greater than 0 or 0 if manually set by the client"},
};

std::vector<StatEvent> buildTemplate() {
    std::vector<StatEvent> events;
    events.reserve(STATS_EVENTS_COUNT);
    for (const EventText& e : kEvents)
        events.emplace_back(e.id, e.description, e.name);
    return events;
}

// Built when the library loads; getStatsTemplate() also serves callers that run
// before that (static initialisers of other libraries).
const std::vector<StatEvent>& kTemplateAtLoad = getStatsTemplate();

}  // namespace

StatEvent::StatEvent(StatsEvents id, const std::wstring& description, const std::wstring& name)
    : name(name), description(description), id(id) {}

std::wstring StatEvent::formatSQLDescr() const {
    return kitbase::wformat(
        L"Insert or replace into STATS_DESCRIPTIONS(id,name,description) values (%u,\"%ls\",\"%ls\");",
        static_cast<uint32_t>(id), name, description);
}

std::wstring StatEvent::formatSQLStat(const std::wstring& date) const {
    return kitbase::wformat(L"insert into STATS(name,date_added,cnt, descrID) values(\"%ls\",\"%ls\",%u,%u);",
                            name, date, count, static_cast<uint32_t>(id));
}

const std::vector<StatEvent>& getStatsTemplate() {
    static const std::vector<StatEvent> events = buildTemplate();
    return events;
}

_Statistics::_Statistics() : counters_(getStatsTemplate()) {
    (void)kTemplateAtLoad;
}

_Statistics::~_Statistics() = default;

_Statistics& _Statistics::getInstance() {
    static _Statistics instance;
    return instance;
}

uint32_t _Statistics::inc(StatsEvents id, uint32_t n) {
    if (static_cast<uint32_t>(id) >= STATS_EVENTS_COUNT) {
        __trace__.error(L"Statistics: Can't find event: %d ", static_cast<uint32_t>(id));
        return 0xFFFFFFFFu;
    }
    AutoCriticalSection guard(lock_);
    counters_[id].count += n;
    flushed_ = false;
    if (id == INFECTED || id == SUSPICIOUS)
        counters_[DETECTIONS].count += n;
    return counters_[id].count;
}

bool _Statistics::reset(StatsEvents id) {
    if (static_cast<uint32_t>(id) >= STATS_EVENTS_COUNT) {
        __trace__.error(L"Invalid statistics ID received:%d", static_cast<uint32_t>(id));
        return false;
    }
    AutoCriticalSection guard(lock_);
    counters_[id].count = 0;
    __trace__.info(L"Manually reset the statistics event with id: %d Name:%ls", static_cast<uint32_t>(id),
                   counters_[id].name);
    return true;
}

void _Statistics::reset() {
    AutoCriticalSection guard(lock_);
    if (flushed_)
        return;
    for (StatEvent& e : counters_)
        e.count = 0;
    flushed_ = true;
}

bool _Statistics::flush(DBContainer* db) {
    if (!db)
        return false;
    AutoCriticalSection guard(lock_);
    if (flushed_)
        return false;
    SQLite::Database* connection = db->getDB();
    if (!connection) {
        __trace__.error(L"Statistics cannot be commited: the statistics database is not open");
        return false;
    }

    AutoCriticalSection dbGuard(db->getLock());
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::wstring date = LogDB::dateText(local);

    // All rows or none: a failing row rolls the commit back and the counts stay.
    bool written = SQLCall(connection, L"BEGIN IMMEDIATE") == 0;
    for (size_t i = 0; written && i < counters_.size(); ++i)
        written = SQLCall(connection, counters_[i].formatSQLStat(date)) == 0;
    if (written)
        written = SQLCall(connection, L"COMMIT") == 0;
    if (!written) {
        SQLCall(connection, L"ROLLBACK");
        __trace__.error(L"Statistics cannot be commited to %ls; the counts are kept", db->getPath());
        return false;
    }

    for (StatEvent& e : counters_)
        e.count = 0;
    flushed_ = true;
    __trace__.debug(L"Statistics have been commited");
    return true;
}

std::wstring _Statistics::toString() {
    AutoCriticalSection guard(lock_);
    std::wstring out;
    for (const StatEvent& e : counters_)
        out += e.name + L":" + std::to_wstring(e.count) + L"\n";
    return out;
}

std::wstring _Statistics::toStringWithDescription() {
    AutoCriticalSection guard(lock_);
    std::wstring out;
    for (const StatEvent& e : counters_)
        out += e.description + L":" + std::to_wstring(e.count) + L"\n";
    return out;
}

uint32_t _Statistics::getCount(StatsEvents id) {
    if (static_cast<uint32_t>(id) >= STATS_EVENTS_COUNT)
        return 0;
    AutoCriticalSection guard(lock_);
    return counters_[id].count;
}

bool _Statistics::isFlushed() {
    AutoCriticalSection guard(lock_);
    return flushed_;
}
