#include "kitbase/services/wsc_comm_base.h"

void WSCCommBase::storeTexts(const wchar_t* path, const wchar_t* name, const wchar_t* folder) {
    std::lock_guard<std::mutex> guard(textsLock_);
    remediationPath_ = path ? path : L"";
    remediationName_ = name ? name : L"";
    remediationFolder_ = folder ? folder : L"";
}

WSCCommBase::Texts WSCCommBase::texts() const {
    std::lock_guard<std::mutex> guard(textsLock_);
    return Texts{remediationPath_, remediationName_, remediationFolder_};
}
