#include "kitbase/platform/module_symbol.h"

#include <dlfcn.h>

#include "kitbase/platform/winerror.h"

namespace kitbase {

void* moduleSymbol(HMODULE module, const char* name) {
    if (!module || !name) {
        SetLastError(module ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module, name);
    if (!address) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return address;
}

}  // namespace kitbase
