#pragma once
// The statistics database: one row per counter per commit in the table STATS, and
// the counters' descriptions in STATS_DESCRIPTIONS, filled when the file is created.
#include <string>

#include "kitbase/core/dbcontainer.h"
#include "kitbase/export.h"

class KITBASE_API StatsDB : public DBContainer {
public:
    // Opens (creating it and its schema when new) the database file at `path`. A file
    // that cannot be opened leaves the container without a database.
    explicit StatsDB(const std::wstring& path = L"antivirus_stats.db");
    ~StatsDB() override;

    // Builds the schema in one transaction: 0 ok, 4 failed (nothing of it is kept),
    // 5 no database.
    unsigned int Create() override;
};
