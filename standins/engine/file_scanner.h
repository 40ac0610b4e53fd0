#pragma once
#include <sys/stat.h>
// The scan of one file on one instance, with the callbacks in the order callers rely
// on: pre-scan (type 4), archive open (type 5) for the members of a ZIP archive, a
// detection (type 0, answer 1 or 2), the protection-cloud steps (type 10, only while
// the cloud layer is on), the end of the file (type 0, answer 4); errors as type 3.
// The file is read once, in blocks; files unchanged since a clean scan are not read
// again.
#include <chrono>
#include <string>

#include "instance.h"

namespace qv {

class Engine;

struct ScanOutcome {
    int32_t result = 0;     // 0 or the engine's error code
    bool detected = false;  // answer 1 or 2 reported
    bool clean = false;     // scanned completely, nothing found (or known clean)
};

using Deadline = std::chrono::steady_clock::time_point;

// Scans `path`; `fd` (>= 0) is an already open descriptor of that file that is read
// instead of opening the path (it is not closed); `known`, when given, is that
// descriptor's status, taken just before.
ScanOutcome scanFile(Engine& engine, qvapi_instance* instance, const std::wstring& path, int fd,
                     Deadline deadline, const struct stat* known = nullptr);

// Deadline `seconds` from now; none for 0.
Deadline deadlineIn(uint32_t seconds);

}  // namespace qv
