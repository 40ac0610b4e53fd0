#pragma once
// The vocabulary shared by the service manager, its service processes and the
// service framework: service types, states, accepted controls, control codes,
// start types, failure actions and the status record a service reports.
#include "kitbase/platform/wintypes.h"

// Service type.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

// Current state.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Controls accepted.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x8;
constexpr DWORD SERVICE_ACCEPT_PRESHUTDOWN = 0x100;

// Control codes (128 to 255 are the service's own).
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
constexpr DWORD SERVICE_CONTROL_PRESHUTDOWN = 15;
constexpr DWORD SERVICE_USER_CONTROL_FIRST = 128;
constexpr DWORD SERVICE_USER_CONTROL_LAST = 255;

// Start types.
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;

// Error control.
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// Failure action types.
constexpr DWORD SC_ACTION_NONE = 0;
constexpr DWORD SC_ACTION_RESTART = 1;

// The status record of a service.
struct SERVICE_STATUS {
    DWORD dwServiceType = 0;
    DWORD dwCurrentState = 0;
    DWORD dwControlsAccepted = 0;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};

// The status record with the service's process id (0 when no process runs).
struct SERVICE_STATUS_PROCESS : SERVICE_STATUS {
    DWORD dwProcessId = 0;
};

// One failure action: what to do, and after how many milliseconds.
struct SC_ACTION {
    DWORD Type = SC_ACTION_NONE;
    DWORD Delay = 0;
};
