#pragma once
// The service's event counters: a fixed set of 19 counters raised by on-access and
// on-demand scanning and updates, read as text by the command dispatcher and
// committed as rows into the statistics database, after which they start again from
// zero. The database keeps the history; the object what happened since the last
// commit.
#include <cstdint>
#include <string>
#include <vector>

#include "kitbase/core/locks.h"
#include "kitbase/export.h"

class DBContainer;

// The counter identifiers; the enumerator names are the counters' names.
enum StatsEvents : uint32_t {
    FILES_ALLOWED = 0,
    FILES_SCANNED = 1,
    INFECTED = 2,
    ERRORS = 3,
    SUSPICIOUS = 4,
    MOVETOQUA = 5,
    DELETED = 6,
    DENY = 7,
    RENAME = 8,
    UPDATESSTARTED = 9,
    UPDATESFAILED = 10,
    UPDATESSUCCESSFUL = 11,
    UPDATESREMOTETRIGGERED = 12,
    DIRSCANS = 13,
    DIRSCANSREMOTETRIGGERED = 14,
    OADEACTIVATED = 15,
    OAACTIVATED = 16,
    ODSCANNED = 17,
    DETECTIONS = 18,
};

// Number of counters.
constexpr uint32_t STATS_EVENTS_COUNT = 19;

// One counter.
class KITBASE_API StatEvent {
public:
    StatEvent(StatsEvents id, const std::wstring& description, const std::wstring& name);
    StatEvent(const StatEvent&) = default;
    StatEvent& operator=(const StatEvent&) = default;

    // The statement that stores this counter's description row.
    std::wstring formatSQLDescr() const;
    // The statement that stores this counter's count as one row dated `date`.
    std::wstring formatSQLStat(const std::wstring& date) const;

    std::wstring name;
    std::wstring description;
    StatsEvents id;
    uint32_t count = 0;
};

// The counter template: the 19 counters in id order, all counts 0. Built on first use
// (safe from other libraries' static initialisers) and only read afterwards.
KITBASE_API const std::vector<StatEvent>& getStatsTemplate();

class KITBASE_API _Statistics {
public:
    _Statistics();
    virtual ~_Statistics();
    _Statistics(const _Statistics&) = delete;
    _Statistics& operator=(const _Statistics&) = delete;

    // The process-wide set, built from the template on first use.
    static _Statistics& getInstance();

    virtual std::wstring className() const { return L"Statistics"; }

    // Adds n (modulo 2^32) to counter `id`; INFECTED and SUSPICIOUS raise DETECTIONS
    // as well. Returns the counter's new count, or 0xFFFFFFFF (nothing changed) for an
    // unknown id.
    uint32_t inc(StatsEvents id, uint32_t n = 1);
    // Zeroes one counter (the set's clean flag is left as it is); false for an unknown id.
    bool reset(StatsEvents id);
    // Zeroes every counter and marks the set clean; nothing happens on a clean set.
    void reset();
    // Commits the counts as one row per counter, in one transaction, then zeroes them
    // and marks the set clean. Nothing happens on a clean set or without a database.
    // When any row cannot be written nothing is committed and the counts are kept.
    // True when the rows were committed.
    bool flush(DBContainer* db);

    // Per counter in id order: name, ":", count and "\n".
    std::wstring toString();
    // Per counter in id order: description, ":", count and "\n".
    std::wstring toStringWithDescription();

    // The current count of one counter (0 for an unknown id).
    uint32_t getCount(StatsEvents id);
    // True when every count is 0 because of a commit or a reset of all counters and
    // nothing has been counted since.
    bool isFlushed();

    // Iterators over the counters, for callers that walk them (hold no lock: use only
    // where no other thread counts).
    std::vector<StatEvent>::const_iterator begin() const { return counters_.begin(); }
    std::vector<StatEvent>::const_iterator end() const { return counters_.end(); }

private:
    bool flushed_ = false;
    std::vector<StatEvent> counters_;
    CriticalSection lock_;
};
