#include "kitbase/core/oem_resource.h"

#include "kitbase/core/authenticode.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/winerror.h"

_OEMResource::_OEMResource() = default;

_OEMResource::~_OEMResource() {
    std::lock_guard lock(lock_);
    if (module_)
        kitbase::freeModule(module_);
    module_ = nullptr;
}

HINSTANCE _OEMResource::LoadResourceDLL(const std::wstring& path) {
    std::lock_guard lock(lock_);
    if (module_)
        return module_;
    if (loading_)
        return nullptr;
    loading_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{loading_};

    // The check runs on a sealed copy of the file, and that very copy is loaded: the
    // file cannot be swapped between the check and the load.
    VerifiedFile file;
    if (!VerifyCertificate(path, file)) {
        __trace__.error(L"Invalid or corrupted DLL found. It will not be loaded: %ls", path);
        return nullptr;
    }
    HINSTANCE module = kitbase::loadModuleFromDescriptor(file.fd());
    if (!module) {
        DWORD code = GetLastError();
        __trace__.error(L"Cannot load the resource DLL: '%ls'. Reason:'%ls'", path, tgetErrorString(code));
        return nullptr;
    }
    module_ = module;
    __trace__.debug(L"Loaded resource DLL %ls", path);
    return module_;
}

HINSTANCE _OEMResource::getModule() {
    {
        std::lock_guard lock(lock_);
        if (module_)
            return module_;
    }
    return LoadResourceDLL(createPath(getWorkingPath(), L"brandpack.dll"));
}

std::wstring getString(unsigned int id, HINSTANCE module) {
    std::wstring text;
    if (!kitbase::loadString(module, id, text)) {
        __trace__.debug(L"Can't load string with ID %d", id);
        text.clear();
    }
    return text;
}

std::wstring getString(unsigned int id) {
    static _OEMResource holder;
    return getString(id, holder.getModule());
}
