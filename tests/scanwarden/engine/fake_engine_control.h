#pragma once
// The control block of the fake engine libraries: the answers each entry gives and a
// record of what the service handed to the engine. The library exports
// FAKE_engine_control(), which returns its block; tests reach it through the
// loaded library's handle.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "scanwarden/qvapi_interface.h"

struct FakeOptionSet {
    QVAPI_INSTANCE instance;  // null for a global option
    uint32_t option;
    std::wstring value;
};

struct FakeEngineControl {
    // Answers.
    int32_t initializeResult = 0;
    int32_t reloadResult = 0;
    int32_t apcInitializeResult = 0;
    int32_t oaInitializeResult = 0;
    int32_t oaCreateResult = 0;
    int32_t setLogCallbackResult = 0;
    int32_t scanResult = 0;
    int32_t createInstanceResult = 0;
    int32_t getVersionResult = 0;
    int32_t apcGetVersionResult = 0;
    // Answer of QVAPI_set / QVAPI_global_set by option id (0 when not listed).
    std::map<uint32_t, int32_t> optionResults;
    // Answers and texts of QVAPI_get by item id (21 when not listed).
    std::map<uint32_t, std::wstring> items;
    std::map<uint32_t, int32_t> itemResults;
    QVAPI_VERSION version{1, 2, 3, 4};
    QVAPI_VERSION apcVersion{0, 0, 7, 9};
    // Called inside QVAPI_set / QVAPI_global_set with the option id.
    std::function<void(uint32_t)> onOptionSet;
    // On-access instances the engine creates.
    uint32_t oaInstanceCount = 2;

    // What the service handed over, in call order.
    std::vector<std::string> calls;
    QVAPI_GLOBAL_INIT lastInit{};
    std::wstring initEngineFolder;
    std::wstring initVdfFolder;
    std::wstring reloadFolder;
    QVAPI_APC_INIT lastApc{};
    std::wstring apcProductFolder, apcTempFolder, apcKeyFolder, apcCacheFile;
    std::string apcProxy;
    bool apcProxyNull = true;
    QVAPI_OA_INIT lastOA{};
    QVAPI_LOG_CALLBACK logCallback = nullptr;
    int32_t logLevel = -1;
    void* logContext = nullptr;
    QVAPI_OA_INSTANCE_CALLBACK created = nullptr;
    QVAPI_OA_INSTANCE_CALLBACK destroyed = nullptr;
    std::vector<QVAPI_INSTANCE> oaInstances;
    std::vector<FakeOptionSet> optionSets;
    std::vector<std::wstring> scans;
    std::wstring extractFolder;
    int liveInstances = 0;
};

typedef FakeEngineControl* (*FAKE_engine_control_t)();
