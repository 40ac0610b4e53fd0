#pragma once
// Looking up a function of a loaded library by name (string_table.h loads libraries).
#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

// The address of the exported symbol, or null with the last error set to
// ERROR_PROC_NOT_FOUND (ERROR_INVALID_HANDLE for a null module).
KITBASE_API void* moduleSymbol(HMODULE module, const char* name);

}  // namespace kitbase
