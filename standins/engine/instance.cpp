#include "instance.h"

#include <string>

#include "text.h"

namespace qv {

bool isValidInstance(const qvapi_instance* instance) {
    return instance && instance->magic.load(std::memory_order_relaxed) == qvapi_instance::kMagic;
}

namespace {

bool number(const wchar_t* value, uint64_t max, uint64_t& out) {
    return parseNumber(toUtf8(value), out) && out <= max;
}

}  // namespace

int32_t setInstanceOption(qvapi_instance* in, uint32_t option, const wchar_t* value) {
    if (!isValidInstance(in) || !value)
        return QVAPI_E_INVALID_PARAMETER;
    uint64_t n = 0;
    switch (option) {
        case QVAPI_OPTION_ARCHIVE_SCAN:
            if (!number(value, 1, n))
                return QVAPI_E_INVALID_PARAMETER;
            in->archiveScan = n != 0;
            return QVAPI_OK;
        case QVAPI_OPTION_ARCHIVE_MAX_SIZE:
            if (!number(value, UINT64_MAX >> 1, n))
                return QVAPI_E_INVALID_PARAMETER;
            in->archiveMaxSize = n;
            return QVAPI_OK;
        case QVAPI_OPTION_ARCHIVE_MAX_RECURSION:
        case QVAPI_OPTION_ARCHIVE_MAX_COUNT:
        case QVAPI_OPTION_SCAN_TIMEOUT:
        case QVAPI_OPTION_DETECT_ALL_TYPES:
        case QVAPI_OPTION_APC_CONNECTION_TIMEOUT:
        case QVAPI_OPTION_APC_SCAN_TIMEOUT:
        case QVAPI_OPTION_APC_CHECK_RISK_LEVEL:
        case QVAPI_OPTION_APC_UPLOAD_RISK_LEVEL: {
            if (!number(value, UINT32_MAX, n))
                return QVAPI_E_INVALID_PARAMETER;
            auto v = static_cast<uint32_t>(n);
            if (option == QVAPI_OPTION_ARCHIVE_MAX_RECURSION)
                in->archiveMaxRecursion = v;
            if (option == QVAPI_OPTION_ARCHIVE_MAX_COUNT)
                in->archiveMaxCount = v;
            if (option == QVAPI_OPTION_SCAN_TIMEOUT)
                in->scanTimeout = v;
            if (option == QVAPI_OPTION_DETECT_ALL_TYPES)
                in->detectAllTypes = v;
            if (option == QVAPI_OPTION_APC_CONNECTION_TIMEOUT)
                in->apcConnectionTimeout = v;
            if (option == QVAPI_OPTION_APC_SCAN_TIMEOUT)
                in->apcScanTimeout = v;
            if (option == QVAPI_OPTION_APC_CHECK_RISK_LEVEL)
                in->apcCheckRiskLevel = v;
            if (option == QVAPI_OPTION_APC_UPLOAD_RISK_LEVEL)
                in->apcUploadRiskLevel = v;
            return QVAPI_OK;
        }
        case QVAPI_OPTION_SCAN_MODE: {
            std::string mode = lowerAscii(trim(toUtf8(value)));
            if (mode == "all")
                in->scanMode = kScanAll;
            else if (mode == "smart")
                in->scanMode = kScanSmart;
            else if (mode == "extlist")
                in->scanMode = kScanExtensionList;
            else
                return QVAPI_E_INVALID_PARAMETER;
            return QVAPI_OK;
        }
        case QVAPI_OPTION_APC_PE_MODE:
            return trim(toUtf8(value)).empty() ? QVAPI_E_INVALID_PARAMETER : QVAPI_OK;
        case QVAPI_OPTION_ARCHIVE_MAX_RATIO:
        case QVAPI_OPTION_MAILBOX_SCAN:
        case QVAPI_OPTION_HEURISTIC_LEVEL:
        case QVAPI_OPTION_DETECT_PHISHING:
        case QVAPI_OPTION_DETECT_SPR:
        case QVAPI_OPTION_MIME_SCAN:
        case QVAPI_OPTION_DETECT_PFS:
        case QVAPI_OPTION_DETECT_PUA:
        case QVAPI_OPTION_FPC:
            return QVAPI_E_NOT_SUPPORTED;
        default:
            return QVAPI_E_INVALID_OPTION;
    }
}

int32_t fireCallback(qvapi_instance* instance, uint32_t type, void* typeData) {
    QVAPI_CALLBACK cb = instance->callbacks[type].load(std::memory_order_acquire);
    if (!cb)
        return 0;
    QVAPI_CALLBACK_DATA data{type, 0, instance, instance->userData.load(std::memory_order_acquire), typeData};
    try {
        return cb(&data);
    } catch (...) {
        return 0;
    }
}

}  // namespace qv
