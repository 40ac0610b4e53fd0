#include "kitbase/platform/roots.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kitbase {

namespace {

std::string underRoot(const char* relative, const char* systemPlace) {
    std::string root = machineRoot();
    if (root.empty())
        return systemPlace;
    return root + "/" + relative;
}

}  // namespace

std::string machineRoot() {
    const char* root = getenv("KITBASE_ROOT");
    if (!root || !*root)
        return {};
    std::string r(root);
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    return r;
}

std::string programDataFolder() {
    return underRoot("ProgramData", "/var/lib");
}
std::string runFolder() {
    return underRoot("run", "/run/kitbase");
}
std::string registryStorePath() {
    return underRoot("registry/registry.db", "/var/lib/kitbase/registry.db");
}
std::string eventLogFolder() {
    return underRoot("eventlog", "/var/log/kitbase");
}
std::string programFilesFolder() {
    return underRoot("Program Files", "/opt");
}

std::string systemFolder() {
    std::string root = machineRoot();
    if (root.empty())
        return executableFolder() + "/system32";
    return root + "/Windows/System32";
}

std::string tempFolder() {
    const char* tmp = getenv("TMPDIR");
    std::string t = (tmp && *tmp) ? tmp : "/tmp";
    if (t.back() != '/')
        t += '/';
    return t;
}

std::string executablePath() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string executableFolder() {
    std::string p = executablePath();
    auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string modulePathOf(const void* address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname)
        return {};
    std::string name = info.dli_fname;
    // The main program reports its name as it was started: resolve it.
    if (name.empty() || name.find('/') == std::string::npos)
        return executablePath();
    char buf[PATH_MAX + 1];
    if (realpath(name.c_str(), buf))
        return buf;
    return name;
}

bool ensureFolder(const std::string& path, unsigned mode) {
    if (path.empty())
        return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos);
        std::string part = pos == std::string::npos ? path : path.substr(0, pos);
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return false;
        if (pos != std::string::npos)
            ++pos;
    }
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kitbase
