#pragma once
// Stand-ins for the two shell calls the Security Center code makes: starting a
// program as the shell does, and the special folders by CSIDL number.
#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

using HWND = void*;

constexpr int SW_HIDE = 0;
constexpr int CSIDL_PROGRAM_FILES = 38;
// Shell-start results of 32 and below are errors.
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_NOASSOC = 31;

// Starts `file` with the parameter text in `directory` (empty or null: the file's own
// folder) without waiting. There are no windows here, so `show` has no effect; the
// verbs "open" and null are known, others give SE_ERR_NOASSOC. The result is above
// 32 when the program was started, else a small error code (SE_ERR_FNF for a
// missing program, SE_ERR_PNF for a missing folder, ...); the last error tells more.
KITBASE_API HINSTANCE ShellExecuteW(HWND window, const wchar_t* verb, const wchar_t* file,
                                    const wchar_t* parameters, const wchar_t* directory, int show);

// Writes the folder into `path` (at least MAX_PATH characters): TRUE when known. Only
// CSIDL_PROGRAM_FILES is known here; `create` creates the folder.
KITBASE_API BOOL SHGetSpecialFolderPathW(HWND window, wchar_t* path, int csidl, BOOL create);
