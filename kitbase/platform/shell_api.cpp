#include "kitbase/platform/shell_api.h"

#include <sys/stat.h>

#include <cwchar>
#include <string>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace {

HINSTANCE result(intptr_t value) {
    return reinterpret_cast<HINSTANCE>(value);
}

// The shell's small error numbers for the start failures.
intptr_t shellError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return SE_ERR_FNF;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
            return SE_ERR_PNF;
        case ERROR_ACCESS_DENIED:
            return SE_ERR_ACCESSDENIED;
        case ERROR_BAD_EXE_FORMAT:
            return 11;  // ERROR_BAD_FORMAT
        default:
            return SE_ERR_OOM;
    }
}

}  // namespace

HINSTANCE ShellExecuteW(HWND, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                        const wchar_t* directory, int) {
    if (verb && std::wcscmp(verb, L"open") != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return result(SE_ERR_NOASSOC);
    }
    if (!file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_FNF);
    }
    // A missing program is reported as such, whatever its folder.
    struct stat st {};
    if (::stat(kitbase::wideToUtf8(file).c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_FNF);
    }
    std::string commandLine = "\"" + kitbase::wideToUtf8(file) + "\"";
    if (parameters && *parameters)
        commandLine += " " + kitbase::wideToUtf8(parameters);
    std::string folder = directory ? kitbase::wideToUtf8(directory) : std::string();
    if (folder.empty()) {
        const std::string path = kitbase::wideToUtf8(file);
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos)
            folder = slash == 0 ? "/" : path.substr(0, slash);
    }
    kitbase::ChildProcess child;
    if (!child.start(commandLine, folder)) {
        const DWORD code = GetLastError();
        SetLastError(code);
        return result(shellError(code));
    }
    // The shell does not wait: the reaper collects the program when it ends.
    child.release();
    SetLastError(ERROR_SUCCESS);
    return result(42);
}

BOOL SHGetSpecialFolderPathW(HWND, wchar_t* path, int csidl, BOOL create) {
    if (!path || csidl != CSIDL_PROGRAM_FILES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string folder = kitbase::programFilesFolder();
    if (create && !kitbase::ensureFolder(folder))
        return FALSE;
    const std::wstring wide = kitbase::utf8ToWide(folder);
    if (wide.size() >= MAX_PATH) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wmemcpy(path, wide.c_str(), wide.size() + 1);
    return TRUE;
}
