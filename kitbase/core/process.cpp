#include "kitbase/core/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <vector>

#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/private_files.h"
#include "kitbase/platform/proclist.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/platform/winsock_com.h"

namespace {

std::atomic<DWORD> g_waitLimit{60000};

Trace& traceOf(Trace* trace) {
    return trace ? *trace : __trace__;
}

std::wstring withoutQuotes(const std::wstring& path) {
    std::wstring p = path;
    if (p.size() >= 2 && p.front() == L'"' && p.back() == L'"')
        p = p.substr(1, p.size() - 2);
    return p;
}

std::wstring baseNameOf(const std::wstring& path) {
    size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Starts `file` as the shell would; with `exitCode`, also waits for its end (at most
// the wait limit) and hands back its exit code (STILL_ACTIVE when it did not end).
bool startThroughShell(const std::wstring& file, const std::wstring& parameters, bool wait, DWORD* exitCode) {
    // COM is initialised on this thread for the call, as the shell needs it.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    const std::wstring path = withoutQuotes(file);
    const std::wstring name = getFilename(path);
    // The working folder is handed over as it is: quotes would be part of its name.
    const std::wstring folder = getPath(path);
    __trace__.debug(L"About to execute '%ls' with parameter '%ls'\nFile:%ls\nDir:%ls", file, parameters, name,
                    folder);

    std::wstring commandLine = L"\"" + path + L"\"";
    if (!parameters.empty())
        commandLine += L" " + parameters;
    kitbase::ChildProcess child;
    bool started = child.start(WS2S(commandLine), WS2S(folder));
    DWORD code = GetLastError();
    if (started) {
        __trace__.debug(L"Successfully executed '%ls' with parameter '%ls'", file, parameters);
        if (exitCode) {
            child.wait(kitbase::processWaitLimit());
            *exitCode = child.exitCode();
        }
    } else {
        __trace__.error(L"Could not execute the program '%ls'. Code %d - '%ls'", file, code,
                        tgetErrorString(code));
    }
    (void)wait;  // the start is synchronous either way
    if (SUCCEEDED(com))
        CoUninitialize();
    SetLastError(started ? ERROR_SUCCESS : code);
    return started;
}

// The image name as one argument of the kill program's command line. Quotes at its ends
// are dropped; a name with blanks is put in double quotes, and quotes inside it (no
// file name has any) are escaped, so the name can never add options of its own.
std::wstring imageArgument(const std::wstring& name) {
    size_t begin = name.find_first_not_of(L'"');
    size_t end = name.find_last_not_of(L'"');
    const std::wstring bare =
        begin == std::wstring::npos ? std::wstring() : name.substr(begin, end - begin + 1);
    if (bare.find_first_of(L" \t\"") == std::wstring::npos)
        return bare;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : bare) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::wstring taskKillProgram() {
    return S2WS(kitbase::systemFolder()) + L"/taskkill.exe";
}

}  // namespace

namespace kitbase {

void setProcessWaitLimit(DWORD milliseconds) {
    g_waitLimit.store(milliseconds);
}

DWORD processWaitLimit() {
    return g_waitLimit.load();
}

}  // namespace kitbase

bool execute(const std::wstring& program, const std::wstring& parameters, bool, bool wait) {
    // Quoted so that the program name splits back to exactly this path (blanks, tabs
    // and quotes included).
    const std::wstring path = S2WS(kitbase::quoteCommandLineArgumentIfNeeded(WS2S(withoutQuotes(program))));
    const std::wstring commandLine = path + L" " + parameters;
    __trace__.debug(L"About to execute '%ls'", commandLine);
    kitbase::ChildProcess child;
    if (!child.start(WS2S(commandLine))) {
        DWORD code = GetLastError();
        __trace__.error(L"Could not execute the program '%ls'. Code %d - '%ls'", program, code,
                        tgetErrorString(code));
        SetLastError(code);
        return false;
    }
    __trace__.debug(L"Successfully executed '%ls' ", commandLine);
    if (wait)
        child.wait(kitbase::processWaitLimit());
    // A child still running is collected by the reaper when it ends.
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool shellExecute(const std::wstring& file, const std::wstring& parameters, bool, bool wait) {
    return startThroughShell(file, parameters, wait, nullptr);
}

unsigned int GetProcessList(std::unordered_set<std::wstring>& paths, const std::atomic<BYTE>& abort,
                            Trace* trace) {
    Trace& t = traceOf(trace);
    std::vector<kitbase::ProcessEntry> processes;
    if (!kitbase::listProcesses(processes)) {
        t.debug(L"ERR:CreateToolhelp32Snapshot (of processes)");
        return 0;
    }
    if (processes.empty()) {
        t.debug(L"ERR:Process32First");
        return 0;
    }
    for (const auto& process : processes) {
        if (abort.load()) {
            t.debug(L"Retrieving the processes list was aborted due to external signal");
            return 0;
        }
        t.debug(L"\n\n=====================================================");
        t.debug(L"\nPROCESS NAME:  %s  PID:%d", process.name, process.pid);
        kitbase::ProcessHandle handle;
        if (!handle.open(process.pid)) {
            DWORD code = GetLastError();
            t.debug(L"\nCannot open process: code %d  - %ls", code, tgetErrorString(code));
            continue;
        }
        int priority = 0;
        if (!handle.priority(priority))
            t.debug(L"ERR:GetPriorityClass");
        std::vector<std::string> modules;
        if (!handle.modules(modules)) {
            t.debug(L"ERR:Can't get list of modules for PID %d. Code:%d", process.pid, GetLastError());
            t.debug(L"There was an error listing the Modules of this process");
            continue;
        }
        if (modules.empty()) {
            t.debug(L"ERR:Module32First");
            t.debug(L"There was an error listing the Modules of this process");
            continue;
        }
        for (const auto& module : modules) {
            // An abort seen here ends the listing as well (also on the last process).
            if (abort.load()) {
                t.debug(L"Retrieving the processes list was aborted due to external signal");
                return 0;
            }
            const std::wstring path = S2WS(module);
            t.debug(L"\tMODULE NAME:     %s", baseNameOf(path));
            t.debug(L"\tExecutable     = %s\n", path);
            paths.insert(path);
        }
    }

    // A 32-bit program cannot see into 64-bit processes: a 64-bit helper lists them.
    if (kitbase::isWow64Process()) {
        std::wstring listFile = GenerateTmpFileName();
        std::wstring parameter = listFile;
        quotePathIfBlank(parameter);
        const std::wstring lister = createPath(getWorkingPath(), L"enumwick64.exe");
        if (!execute(lister, parameter, false, true)) {
            t.error(L"Can not create the 64bit process list");
            return 0;
        }
        std::ifstream list(WS2S(listFile));
        if (!list) {
            std::remove(WS2S(listFile).c_str());
            return 0;
        }
        std::string line;
        while (std::getline(list, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            if (!line.empty())
                paths.insert(S2WS(line));
        }
        list.close();
        std::remove(WS2S(listFile).c_str());
    }
    return 1;
}

unsigned int TaskKill(Trace* trace, DWORD id, const std::wstring& name, bool byName) {
    Trace& t = traceOf(trace);
    const std::wstring program = taskKillProgram();
    // A root process runs the kill program only from a place no other user can change.
    std::string why;
    if (!kitbase::isTrustedPlace(WS2S(program), &why)) {
        t.error(L"Refusing to run %ls: %s", program, why);
        return 0;
    }
    unsigned int result = 0;
    if (id != 0) {
        t.info(L"Trying to terminate process via taskkill");
        DWORD exitCode = kitbase::STILL_ACTIVE;
        if (startThroughShell(program, L"/F /T /PID " + I2WS(id), true, &exitCode) && exitCode == 0) {
            t.info(L"Process with ID %d was terminated with taskkill", id);
            result = 1;
        } else {
            t.error(L"Cannot terminate process with PID %d with taskkill", id);
        }
    }
    if (byName && !name.empty()) {
        t.info(L"Trying to terminate process via name: %ls", name);
        DWORD exitCode = kitbase::STILL_ACTIVE;
        if (startThroughShell(program, L"/F /T /IM " + imageArgument(name), true, &exitCode) &&
            exitCode == 0) {
            t.info(L"Process with name %ls was terminated with taskkill", name);
            return 1;
        }
        t.error(L"Cannot terminate process with name %ls with taskkill", name);
        return 0;
    }
    return result;
}

unsigned int KillProcess(Trace* trace, DWORD id, const std::wstring& name) {
    Trace& t = traceOf(trace);
    t.debug(L"Trying to terminte process with ID %d and name %ls", id, name);
    if (id == 0) {
        TaskKill(trace, 0, name, false);
        return 0;
    }
    bool opened = false;
    if (!kitbase::terminateProcess(static_cast<pid_t>(id), &opened)) {
        if (!opened)
            t.error(L"Cannot terminate process with PID %d", id);
        return TaskKill(trace, id, name, false);
    }
    t.info(L"Process with ID %d was terminated", id);
    return 1;
}
