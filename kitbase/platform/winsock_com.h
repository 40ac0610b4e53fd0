#pragma once
// Bookkeeping stand-ins for the Windows socket library start-up and for COM
// apartments. Sockets need no start-up here; the stand-in counts start-ups and
// clean-ups the way the socket library does, fills the version record, and on the
// first start-up makes sure that a peer closing a connection never kills the process
// (SIGPIPE is ignored; writes report EPIPE instead). COM apartments are per thread:
// the first initialisation of a thread answers S_OK, a repeated one with the same
// model S_FALSE, one with another model RPC_E_CHANGED_MODE; every successful one
// needs its CoUninitialize.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

struct WSADATA {
    WORD wVersion = 0;
    WORD wHighVersion = 0;
    unsigned short iMaxSockets = 0;
    unsigned short iMaxUdpDg = 0;
    std::string szDescription;
    std::string szSystemStatus;
};

constexpr WORD MAKEWORD(BYTE low, BYTE high) {
    return static_cast<WORD>(low | (static_cast<WORD>(high) << 8));
}

// 0 on success (the record filled), else a socket error code.
KITBASE_API int WSAStartup(WORD versionRequested, WSADATA* data);
// 0 on success; SOCKET_ERROR (-1) without a matching start-up.
KITBASE_API int WSACleanup();

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);

KITBASE_API HRESULT CoInitializeEx(void* reserved, DWORD coInit);
KITBASE_API void CoUninitialize();

namespace kitbase {

// Start-ups not yet matched by a clean-up, over the whole process.
KITBASE_API int winsockStartups();
// Open COM initialisations of the calling thread.
KITBASE_API int comInitializations();
// Tests only: the next `count` start-ups fail with the given socket error.
KITBASE_API void failNextWinsockStartups(int count, int error);

}  // namespace kitbase
