#pragma once
// One engine instance: the caller's user data, its callbacks and its scan options.
// Every field is atomic, so options and callbacks may be changed from any thread -
// also from inside a callback of a running scan - without waiting for anything.
#include <atomic>
#include <cstdint>

#include "scanwarden/qvapi_interface.h"

namespace qv {
enum ScanMode : int32_t { kScanAll = 0, kScanSmart = 1, kScanExtensionList = 2 };
}

struct qvapi_instance {
    static constexpr uint32_t kMagic = 0x51564931;  // "QVI1"

    explicit qvapi_instance(bool oa) : onAccess(oa) {
        for (auto& cb : callbacks)
            cb.store(nullptr);
    }

    std::atomic<uint32_t> magic{kMagic};
    const bool onAccess;
    std::atomic<void*> userData{nullptr};
    std::atomic<QVAPI_CALLBACK> callbacks[QVAPI_CALLBACK_TYPE_COUNT];

    std::atomic<uint32_t> scanTimeout{0};  // seconds, 0 = none
    std::atomic<int32_t> scanMode{qv::kScanSmart};
    std::atomic<bool> archiveScan{true};
    std::atomic<uint64_t> archiveMaxSize{0};       // bytes per member, 0 = no limit
    std::atomic<uint32_t> archiveMaxCount{0};      // members, 0 = no limit
    std::atomic<uint32_t> archiveMaxRecursion{0};  // 0 = no limit; members are level 1
    std::atomic<uint32_t> detectAllTypes{1};
    // Protection-cloud settings: kept, the cloud layer never leaves this machine.
    std::atomic<uint32_t> apcConnectionTimeout{10};
    std::atomic<uint32_t> apcScanTimeout{20};
    std::atomic<uint32_t> apcCheckRiskLevel{4};
    std::atomic<uint32_t> apcUploadRiskLevel{4};
};

namespace qv {

bool isValidInstance(const qvapi_instance* instance);
// QVAPI_set: 0, QVAPI_E_INVALID_PARAMETER for a bad value, QVAPI_E_NOT_SUPPORTED for
// a known option this engine does not offer, QVAPI_E_INVALID_OPTION for an unknown id.
int32_t setInstanceOption(qvapi_instance* instance, uint32_t option, const wchar_t* value);
// Calls the instance's callback of `type` with `typeData`; 0 when none is registered.
// An exception thrown by the callback counts as 0.
int32_t fireCallback(qvapi_instance* instance, uint32_t type, void* typeData);

}  // namespace qv
