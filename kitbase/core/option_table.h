#pragma once
// The process-wide default option table: every setting of the system with its id,
// key, name, range or default text, engine link, dependency and description, in
// ascending id order under six section headers. Every option store without a list of
// its own starts from a copy of it.
#include <ctime>
#include <vector>

#include "kitbase/core/config_options.h"
#include "kitbase/export.h"

// Builds the table for the given local time: the scheduled scan time and the update
// time default to its hours:minutes, the scheduled scan day to its day of the week.
KITBASE_API std::vector<Option> buildDefaultOptions(const std::tm& localNow);

// The current local time.
KITBASE_API std::tm localTimeNow();

// The table, built once when the library is loaded and never changed afterwards.
KITBASE_API const std::vector<Option>& defaultOptionTable();
