#pragma once
// Where machine-wide state lives. One environment variable, KITBASE_ROOT, relocates
// all of it (tests and local runs point it at a folder of their own); unset, the
// places are the real system ones. Paths are narrow UTF-8 with "/" separators.
#include <string>

#include "kitbase/export.h"

namespace kitbase {

// The value of KITBASE_ROOT, or empty when unset (real system places).
KITBASE_API std::string machineRoot();

// The machine-wide data folder (stands for ProgramData): ROOT/ProgramData or /var/lib.
KITBASE_API std::string programDataFolder();
// Run-time locks and sockets: ROOT/run or /run/kitbase.
KITBASE_API std::string runFolder();
// The registry store database file: ROOT/registry/registry.db or /var/lib/kitbase/registry.db.
KITBASE_API std::string registryStorePath();
// The event log's file sink folder: ROOT/eventlog or /var/log/kitbase.
KITBASE_API std::string eventLogFolder();
// The system folder, where system programs such as "taskkill.exe" are found:
// ROOT/Windows/System32, or the "system32" folder beside the running program.
KITBASE_API std::string systemFolder();
// The program-files folder: ROOT/Program Files or /opt.
KITBASE_API std::string programFilesFolder();
// The folder for temporary files: TMPDIR or /tmp (with a trailing "/").
KITBASE_API std::string tempFolder();

// Full path of the running executable, and its folder (without trailing "/").
KITBASE_API std::string executablePath();
KITBASE_API std::string executableFolder();
// Full path of the loaded module (shared object or executable) that contains the address.
KITBASE_API std::string modulePathOf(const void* address);

// Creates a folder and its parents (mode 0755 unless given); true when it exists afterwards.
KITBASE_API bool ensureFolder(const std::string& path, unsigned mode = 0755);

}  // namespace kitbase
