#include "kitbase/core/wsa_com.h"

#include <mutex>

#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/winsock_com.h"

namespace {

std::mutex& wsaLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::atomic<unsigned int> Init_WSA::clients{0};
std::atomic<bool> Init_WSA::initialized{false};
thread_local bool COMInit::initialized = false;

Init_WSA::Init_WSA() {
    std::lock_guard<std::mutex> guard(wsaLock());
    ++clients;
    if (initialized)
        return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        __trace__.error(L"Cannot initialize Windows Sockets");
        return;
    }
    initialized = true;
    __trace__.debug(
        L"WSA Infos: wVersion:%d  wHighVersion: %d  iMaxSockets:%d  szDescription:%ls szSystemStatus:%ls",
        data.wVersion, data.wHighVersion, data.iMaxSockets, S2WS(data.szDescription),
        S2WS(data.szSystemStatus));
}

Init_WSA::~Init_WSA() {
    std::lock_guard<std::mutex> guard(wsaLock());
    if (clients > 0)
        --clients;
    if (initialized && clients == 0) {
        __trace__.debug(L"Calling WSACleanup");
        WSACleanup();
        initialized = false;
    }
}

COMInit::COMInit() {
    try {
        shouldNotRun = IsWindows10RS5AndAbove() || isServer();
        __trace__.debug(L"COMInit::shouldNotRun:%d initialized=%d", shouldNotRun, initialized);
        if (shouldNotRun || initialized) {
            __trace__.debug(L"COMInit ->CoInitializeEx will not be called");
            return;
        }
        __trace__.debug(L"Calling CoInitializeEx");
        HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (result != S_OK) {
            __trace__.error(L"\nCannot call CoInitializeEx to get an object to WSC: %x - %ls", result,
                            tgetErrorString(static_cast<DWORD>(result)));
            // A thread that was already initialised by someone else answers S_FALSE,
            // which still takes a reference: give it back, as this scope keeps none.
            if (SUCCEEDED(result))
                CoUninitialize();
            return;
        }
        __trace__.debug(L"Calling CoInitializeEx was successful");
        initialized = true;
    } catch (...) {
        __trace__.debug(L"Unknown exception");
    }
}

COMInit::~COMInit() {
    if (!shouldNotRun && initialized) {
        initialized = false;
        __trace__.debug(L"Calling CoUninitialize");
        CoUninitialize();
    }
}
