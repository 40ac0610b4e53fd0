#pragma once
// Loadable modules and their string tables.
//
// A module (a shared library, or the program itself) offers texts by id through one
// exported C function named KITBASE_STRING_TABLE_SYMBOL of type KitbaseStringTableFn:
// it returns its table of {id, UTF-8 text} entries and stores their number in
// *count. The table is static data of the module and stays valid while the module is
// loaded. A library that offers texts needs nothing but this header:
//
//     extern "C" KITBASE_STRING_TABLE_EXPORT const KitbaseStringEntry* kitbase_string_table(uint32_t* count);
//
// Module handles are the handles of dlopen; a null handle names the running program.
#include <cstdint>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

extern "C" {
struct KitbaseStringEntry {
    uint32_t id;
    const char* text;  // UTF-8, zero-terminated; null counts as a missing entry
};
typedef const KitbaseStringEntry* (*KitbaseStringTableFn)(uint32_t* count);
}

#define KITBASE_STRING_TABLE_SYMBOL "kitbase_string_table"
#define KITBASE_STRING_TABLE_EXPORT __attribute__((visibility("default")))

namespace kitbase {

// Loads the library at `path` (symbols bound at once, kept local to it). Null on
// failure with the last error set: ERROR_MOD_NOT_FOUND when the file cannot be
// found or opened, ERROR_BAD_EXE_FORMAT when it is not a loadable library; `why`,
// when given, receives the loader's own explanation.
KITBASE_API HMODULE loadModule(const std::string& path, std::string* why = nullptr);

// Loads the library from an open file descriptor: exactly the file the descriptor
// refers to is loaded, whatever happens to its path meanwhile, and never a library
// that was loaded before. The descriptor stays owned by the caller and may be closed
// at once (the loader keeps a private duplicate while the library is loaded). Results
// as loadModule.
KITBASE_API HMODULE loadModuleFromDescriptor(int fd, std::string* why = nullptr);

// Releases a handle of loadModule; false for a null or unknown handle.
KITBASE_API bool freeModule(HMODULE module);

// Full path of a loaded module; null names the running program.
KITBASE_API std::string modulePath(HMODULE module);

// Entry `id` of the module's string table (null = the running program). False, with
// `text` cleared and the last error set to ERROR_RESOURCE_NAME_NOT_FOUND, when the
// module has no table or the table has no such entry.
KITBASE_API bool loadString(HMODULE module, uint32_t id, std::wstring& text);

}  // namespace kitbase
