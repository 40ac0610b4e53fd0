#pragma once
// The OEM branding library "brandpack.dll" in the program folder and its texts: the
// product name, the service name and every text shown to users. The library is
// loaded only after its code signature has been accepted, and stays loaded until the
// process ends.
#include <mutex>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/string_table.h"

class KITBASE_API _OEMResource {
public:
    _OEMResource();
    // Frees a loaded library.
    ~_OEMResource();
    // One holder owns the library handle: copies would free it twice.
    _OEMResource(const _OEMResource&) = delete;
    _OEMResource& operator=(const _OEMResource&) = delete;

    // The loaded library, or loads it after checking its signature; null when the
    // file is not accepted or cannot be loaded (the next call tries again).
    HINSTANCE LoadResourceDLL(const std::wstring& path);
    // The loaded library, or loads "brandpack.dll" from the program folder.
    HINSTANCE getModule();

    std::wstring className() const { return L"OEMResource"; }

private:
    std::recursive_mutex lock_;
    HINSTANCE module_ = nullptr;
    // Set while a load runs; a nested request from the same thread (a log record
    // written during the load that asks for a branded path) gets null instead of
    // starting a second load.
    bool loading_ = false;
};

// The text of string-table entry `id` of `module` (null = the running program), or an
// empty text when there is none.
KITBASE_API std::wstring getString(unsigned int id, HINSTANCE module);
// The text of entry `id` of the branding library, or an empty text.
KITBASE_API std::wstring getString(unsigned int id);
