#pragma once
// Scoped start-up of the socket library and of COM. Every class of the system that
// uses sockets derives from Init_WSA: the first live object starts the socket
// library and the last one cleans it up. COMInit initialises COM on the calling
// thread for its own lifetime where the Security Center needs it (before Windows 10
// build 18323, and not on servers).
#include <atomic>

#include "kitbase/export.h"

class KITBASE_API Init_WSA {
public:
    Init_WSA();
    virtual ~Init_WSA();
    // Objects are counted: a copy would not be.
    Init_WSA(const Init_WSA&) = delete;
    Init_WSA& operator=(const Init_WSA&) = delete;

    // Live objects (base parts included) and whether the socket library is started by
    // this class. Both change together under one process-wide lock.
    static std::atomic<unsigned int> clients;
    static std::atomic<bool> initialized;
};

class KITBASE_API COMInit {
public:
    COMInit();
    ~COMInit();
    COMInit(const COMInit&) = delete;
    COMInit& operator=(const COMInit&) = delete;

    bool shouldNotRun = false;

private:
    // COM belongs to a thread, so the flag does too: a scope on one thread never
    // releases an initialisation made on another.
    static thread_local bool initialized;
};
