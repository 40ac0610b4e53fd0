#pragma once
// Starting programs, listing the files loaded by running processes, and ending
// processes by id or name. Every function reports through the trace log and keeps no
// state between calls.
#include <atomic>
#include <string>
#include <unordered_set>

#include "kitbase/core/trace.h"
#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

// Runs the program with the parameter text (the program path is put in double quotes
// when it holds a blank). With `wait`, waits for its end, at most the wait limit
// (60 s); a program still running then goes on. True when the program was started;
// otherwise the last error tells why. `unused` has no effect.
KITBASE_API bool execute(const std::wstring& program, const std::wstring& parameters, bool unused, bool wait);

// Opens a file the way the shell does: the program is started with the parameter
// text in its own folder. There are no windows here, so `show` has no effect; with
// `wait` the start is synchronous (the call returns once the program runs). True when
// the program was started.
KITBASE_API bool shellExecute(const std::wstring& file, const std::wstring& parameters, bool show, bool wait);

// Adds the full path of every file loaded by every running process to `paths`.
// `abort` is read between processes and between modules; once set, the listing stops
// with result 0. Records go to `trace` (the global trace when null) at debug level.
// 1 on success, 0 on failure or abort.
KITBASE_API unsigned int GetProcessList(std::unordered_set<std::wstring>& paths,
                                        const std::atomic<BYTE>& abort, Trace* trace);

// Ends a process (and its descendants) with the system's "taskkill.exe": by id when
// `id` is not 0, then by image name when `byName` is set and the name is not empty.
// 1 when taskkill ended with success, else 0.
KITBASE_API unsigned int TaskKill(Trace* trace, DWORD id, const std::wstring& name, bool byName);

// Ends the process with the id; when that fails, falls back to TaskKill by id. 1 when
// the process was ended, else TaskKill's result; 0 for id 0.
KITBASE_API unsigned int KillProcess(Trace* trace, DWORD id, const std::wstring& name);

namespace kitbase {
// The longest wait of `execute` and of the kill program, in milliseconds (60,000 by
// default; tests shorten it).
KITBASE_API void setProcessWaitLimit(DWORD milliseconds);
KITBASE_API DWORD processWaitLimit();
}  // namespace kitbase
