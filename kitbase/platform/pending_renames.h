#pragma once
// Renames that wait for the next start: an ordered list of (source, destination)
// path pairs kept in one file under the machine-wide data folder and rewritten
// atomically on every change. The service applies the list first when it starts
// (standing for the restart of the machine), then the list is empty.
#include <string>
#include <utility>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

using PendingRename = std::pair<std::wstring, std::wstring>;

// The list file: ROOT/ProgramData/kitbase/PendingFileRenameOperations (or below
// /var/lib without a root).
KITBASE_API std::string pendingRenamesPath();

// Appends one rename (replacing an existing destination when applied). 0 recorded;
// else the Windows error code (ERROR_FILE_NOT_FOUND when the source does not exist,
// ERROR_INVALID_PARAMETER for an empty path, or the error of writing the list).
KITBASE_API DWORD addPendingRename(const std::wstring& source, const std::wstring& destination);

// The pending renames in the order recorded (empty when there is no list).
KITBASE_API std::vector<PendingRename> readPendingRenames();

// One rename that could not be performed, with its Windows error code.
struct PendingRenameFailure {
    PendingRename rename;
    DWORD error = 0;
};

// Performs every pending rename in order (a destination on another file system is
// copied and the source then removed) and empties the list. A rename that fails is
// dropped, its source left where it is, and reported in `failures` when given.
// Returns the number performed.
KITBASE_API unsigned int applyPendingRenames(std::vector<PendingRenameFailure>* failures = nullptr);

}  // namespace kitbase
