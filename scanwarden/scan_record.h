#pragma once
// The scan record: the user data of one engine instance. The engine's callbacks fill
// it while a file is scanned; the caller of the scan reads the verdict from it
// afterwards. One record belongs to one instance, and the engine never runs two scans
// on one instance at once, so the record takes no lock (only the abort flag is set
// from another thread).
#include <atomic>
#include <cstdint>
#include <string>

#include "scanwarden/qvapi_interface.h"

class Trace;

struct ScanRecord {
    // The record owns its trace (an on-demand scan's own log).
    bool ownsTrace = false;
    // Detections (answers 1 and 2) reported since the last clear.
    uint32_t malwareCount = 0;
    uint32_t infectedCount = 0;
    uint32_t suspiciousCount = 0;
    bool onAccess = false;
    // Word 1 and answer of the last detection report.
    int32_t status = 0;
    int32_t scanAnswer = 0;
    std::wstring fileName;
    std::wstring rootFile;
    std::wstring malwareName;
    std::wstring malwareType;
    std::wstring message;
    std::wstring appFlags;
    int32_t removable = 0;
    int16_t strict = 0;
    int16_t info = 0;
    int16_t warning = 0;
    uint32_t filesSeen = 0;
    uint32_t filesScanned = 0;
    uint32_t folders = 0;
    // Failed engine scans.
    uint32_t errors = 0;
    // Set by a stop request; scans on this record stop at the next check.
    std::atomic<bool> abort{false};
    // Zone of the file last checked by the cloud filter, -1 unknown.
    int32_t zone = -1;
    // On-access action applied to the last detection, -1 none.
    int32_t action = -1;
    // Log of this instance (not owned unless ownsTrace).
    Trace* trace = nullptr;
    QVAPI_INSTANCE instance = nullptr;
};
