#include "kitbase/platform/string_table.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <vector>

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

// The loader knows libraries by their name. A library loaded from a descriptor is
// named "/proc/self/fd/N"; were N closed and reused while the library stays mapped,
// a later load under that name would be handed the old library. So each such library
// is loaded under a private duplicate descriptor that stays open while the library
// is loaded (for the life of the process when it cannot be unmapped).
constexpr int kMaxNameTries = 64;

struct DescriptorModules {
    std::mutex lock;
    std::unordered_map<void*, int> descriptorOf;
};

DescriptorModules& descriptorModules() {
    static auto* modules = new DescriptorModules();  // used until process exit
    return *modules;
}

std::string descriptorName(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool nameTaken(const std::string& name) {
    void* existing = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!existing) {
        dlerror();
        return false;
    }
    dlclose(existing);
    return true;
}

uintptr_t loadAddress(void* handle) {
    struct link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return 0;
    return static_cast<uintptr_t>(map->l_addr);
}

std::vector<uintptr_t> loadedBases() {
    std::vector<uintptr_t> bases;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            static_cast<std::vector<uintptr_t>*>(data)->push_back(info->dlpi_addr);
            return 0;
        },
        &bases);
    return bases;
}

bool mapped(uintptr_t base) {
    auto bases = loadedBases();
    return std::find(bases.begin(), bases.end(), base) != bases.end();
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
    if (!readable)
        return openLibrary(descriptorName(fd), false, why);

    auto& modules = descriptorModules();
    std::lock_guard<std::mutex> guard(modules.lock);
    // A private duplicate whose name no loaded library carries.
    std::vector<int> taken;
    int own = -1;
    for (int tries = 0; tries < kMaxNameTries; ++tries) {
        int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (dup < 0)
            break;
        if (!nameTaken(descriptorName(dup))) {
            own = dup;
            break;
        }
        taken.push_back(dup);
    }
    for (int dup : taken)
        close(dup);
    if (own < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        if (why)
            *why = "no free descriptor name to load from";
        return nullptr;
    }

    // The loader also knows libraries by file identity: one mapped before this call
    // would be handed back instead of the bytes of the descriptor. Only a newly
    // mapped library counts.
    std::vector<uintptr_t> before = loadedBases();
    HMODULE handle = openLibrary(descriptorName(own), true, why);
    if (handle && std::find(before.begin(), before.end(), loadAddress(handle)) != before.end()) {
        dlclose(handle);
        handle = nullptr;
        SetLastError(ERROR_ALREADY_EXISTS);
        if (why)
            *why = "the loader handed back a library that was loaded before";
    }
    if (!handle) {
        close(own);
        return nullptr;
    }
    modules.descriptorOf[handle] = own;
    return handle;
}

bool freeModule(HMODULE module) {
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    auto& modules = descriptorModules();
    std::lock_guard<std::mutex> guard(modules.lock);
    uintptr_t base = loadAddress(module);
    if (dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    auto it = modules.descriptorOf.find(module);
    if (it != modules.descriptorOf.end()) {
        // A library that stays mapped keeps its descriptor, so its name is never reused.
        if (!mapped(base))
            close(it->second);
        modules.descriptorOf.erase(it);
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
