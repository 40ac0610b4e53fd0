#include "kitbase/core/kernel_objects.h"

#include "kitbase/core/trace.h"
#include "kitbase/platform/winerror.h"

using kitbase::NamedEventHandle;
using kitbase::NamedMutexHandle;

// ---- Mutex ----

Mutex::Mutex(const std::wstring& name) : name_(name) {}

Mutex::~Mutex() {
    Destroy();
}

DWORD Mutex::Create() {
    if (handle_ && handle_->owned()) {
        // Already ours: the name is taken, and this object keeps holding it.
        SetLastError(ERROR_ALREADY_EXISTS);
        return ERROR_ALREADY_EXISTS;
    }
    handle_.reset();
    return NamedMutexHandle::create(name_, handle_);
}

bool Mutex::checkIfExists() {
    return NamedMutexHandle::exists(name_);
}

bool Mutex::takeOwnershipAndDestroy() {
    bool existed = handle_ != nullptr || NamedMutexHandle::exists(name_);
    Destroy();
    return existed;
}

void Mutex::Destroy() {
    handle_.reset();
}

// ---- Event ----

Event::Event() : Event(L"non-defined-event") {}

Event::Event(const std::wstring& name) : name_(name) {}

Event::~Event() {
    Destroy();
}

DWORD Event::Create() {
    DWORD code;
    if (handle_) {
        code = ERROR_ALREADY_EXISTS;
        SetLastError(code);
    } else {
        code = NamedEventHandle::create(name_, handle_);
    }
    if (handle_)
        __trace__.debug(L"Created Event '%ls'", name_);
    else
        __trace__.debug(L"Cannot create Event '%ls'", name_);
    return code;
}

NamedEventHandle* Event::open(std::unique_ptr<NamedEventHandle>& opened) {
    if (handle_)
        return handle_.get();
    DWORD code = NamedEventHandle::open(name_, opened);
    if (code != ERROR_SUCCESS) {
        __trace__.debug(L"Cannot open Event '%ls': '%ls'", name_, tgetErrorString(code));
        SetLastError(code);
        return nullptr;
    }
    __trace__.debug(L"Opened Event '%ls'", name_);
    return opened.get();
}

bool Event::checkIfExists() {
    std::unique_ptr<NamedEventHandle> opened;
    return open(opened) != nullptr;
}

bool Event::Set() {
    std::unique_ptr<NamedEventHandle> opened;
    NamedEventHandle* handle = open(opened);
    if (!handle) {
        __trace__.debug(L"SetEvent '%ls' was unsuccessful: Error '%ls'", name_,
                        tgetErrorString(GetLastError()));
        return false;
    }
    handle->set();
    __trace__.debug(L"SetEvent '%ls' was successful", name_);
    return true;
}

bool Event::Reset() {
    std::unique_ptr<NamedEventHandle> opened;
    NamedEventHandle* handle = open(opened);
    if (!handle) {
        __trace__.debug(L"ResetEvent '%ls' was unsuccessful: Error '%ls'", name_,
                        tgetErrorString(GetLastError()));
        return false;
    }
    handle->reset();
    __trace__.debug(L"ResetEvent '%ls' was successful", name_);
    return true;
}

bool Event::WaitForEvent(DWORD ms) {
    __trace__.debug(L"Waiting for the event '%ls'", name_);
    if (!handle_) {
        SetLastError(ERROR_INVALID_HANDLE);
        __trace__.debug(L"Event %ls wait error: %ls", name_, tgetErrorString(ERROR_INVALID_HANDLE));
        return false;
    }
    switch (handle_->wait(ms)) {
        case NamedEventHandle::WaitResult::Signaled:
            __trace__.debug(L"Event %ls signaled", name_);
            return true;
        case NamedEventHandle::WaitResult::Timeout:
            __trace__.debug(L"Event %ls timeout", name_);
            return false;
        case NamedEventHandle::WaitResult::Failed:
            break;
    }
    __trace__.debug(L"Event %ls wait error: %ls", name_, tgetErrorString(GetLastError()));
    return false;
}

bool Event::takeOwnershipAndDestroy() {
    if (handle_) {
        __trace__.debug(L"Opened Event '%ls'", name_);
        Destroy();
        return true;
    }
    std::unique_ptr<NamedEventHandle> opened;
    return open(opened) != nullptr;
}

void Event::Destroy() {
    handle_.reset();
}
