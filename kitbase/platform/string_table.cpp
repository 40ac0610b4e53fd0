#include "kitbase/platform/string_table.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

HMODULE openLibrary(const std::string& loaderPath, bool fileReadable, std::string* why) {
    if (why)
        why->clear();
    if (!fileReadable) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        if (why)
            *why = "cannot open " + loaderPath;
        return nullptr;
    }
    dlerror();
    void* handle = dlopen(loaderPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        SetLastError(ERROR_BAD_EXE_FORMAT);
        if (why)
            *why = reason ? reason : "not a loadable library";
        return nullptr;
    }
    return handle;
}

// The handle to search: the given module, or the running program for null.
void* searchHandle(HMODULE module) {
    if (module)
        return module;
    static void* const program = dlopen(nullptr, RTLD_NOW);
    return program;
}

}  // namespace

HMODULE loadModule(const std::string& path, std::string* why) {
    // A bare name would make dlopen search the library path; only real paths load.
    bool readable = !path.empty() && access(path.c_str(), R_OK) == 0;
    std::string loaderPath = path.find('/') == std::string::npos ? "./" + path : path;
    return openLibrary(loaderPath, readable, why);
}

HMODULE loadModuleFromDescriptor(int fd, std::string* why) {
    struct stat st {};
    bool readable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // The loader opens the descriptor's own file through /proc, not the path it had.
    return openLibrary("/proc/self/fd/" + std::to_string(fd), readable, why);
}

bool freeModule(HMODULE module) {
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

std::string modulePath(HMODULE module) {
    if (!module)
        return executablePath();
    struct link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
        return executablePath();
    return map->l_name;
}

bool loadString(HMODULE module, uint32_t id, std::wstring& text) {
    text.clear();
    void* handle = searchHandle(module);
    auto table =
        handle ? reinterpret_cast<KitbaseStringTableFn>(dlsym(handle, KITBASE_STRING_TABLE_SYMBOL)) : nullptr;
    if (table) {
        uint32_t count = 0;
        const KitbaseStringEntry* entries = table(&count);
        for (uint32_t i = 0; entries && i < count; ++i) {
            if (entries[i].id == id && entries[i].text) {
                text = utf8ToWide(entries[i].text);
                return true;
            }
        }
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return false;
}

}  // namespace kitbase
