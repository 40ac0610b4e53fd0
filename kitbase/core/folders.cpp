#include "kitbase/core/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "kitbase/core/oem_resource.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"

namespace {

const std::wstring& emptyText() {
    static const std::wstring empty;
    return empty;
}

// One process-wide path: built once under a lock, then read without one. An empty
// build is not kept, so the next call builds again. Every value ever handed out stays
// alive and unchanged until the process ends (a replacement is a new value), so a
// reference returned by get() never dangles and never changes under its reader.
class PathCache {
public:
    template <class Build>
    const std::wstring& get(Build&& build) {
        if (const std::wstring* value = current_.load(std::memory_order_acquire))
            return *value;
        // A build that (through a log record, say) asks for its own path again gets
        // an empty one instead of waiting for itself. Only this thread ever stores its
        // own id here, so the test needs no lock.
        if (builder_.load() == std::this_thread::get_id())
            return emptyText();
        std::lock_guard lock(mutex_);
        if (const std::wstring* value = current_.load(std::memory_order_acquire))
            return *value;
        builder_.store(std::this_thread::get_id());
        std::wstring built;
        try {
            built = build();
        } catch (...) {
            builder_.store(std::thread::id());
            throw;
        }
        builder_.store(std::thread::id());
        if (built.empty())
            return emptyText();
        return publish(std::move(built));
    }

    void set(const std::wstring& value) {
        std::lock_guard lock(mutex_);
        if (value.empty())
            current_.store(nullptr, std::memory_order_release);
        else
            publish(value);
    }

private:
    const std::wstring& publish(std::wstring value) {
        values_.push_back(std::move(value));
        current_.store(&values_.back(), std::memory_order_release);
        return values_.back();
    }

    std::mutex mutex_;
    std::atomic<const std::wstring*> current_{nullptr};
    std::atomic<std::thread::id> builder_;
    std::list<std::wstring> values_;
};

std::wstring wide(const std::string& path) {
    return kitbase::utf8ToWide(path);
}

// Creates a data folder (and any missing parent); a failure shows later, when a file
// in it cannot be written.
// Data folders are private to the service; one that another user owns or may write is
// refused (the writers then refuse it too).
const std::wstring& created(const std::wstring& folder) {
    std::string why;
    if (!folder.empty() &&
        !kitbase::ensurePrivateFolder(kitbase::wideToUtf8(folder), kitbase::kPrivateFolderMode, &why))
        __trace__.error(L"Refusing the data folder %ls: %s", folder, why);
    return folder;
}

bool isSeparator(wchar_t c) {
    return c == L'/';
}

void stripQuotes(std::wstring& text) {
    size_t begin = text.find_first_not_of(L'"');
    if (begin == std::wstring::npos) {
        text.clear();
        return;
    }
    size_t end = text.find_last_not_of(L'"');
    text = text.substr(begin, end - begin + 1);
}

// Cuts trailing separators; a folder made of separators alone is the root folder.
void trimTrailingSeparators(std::wstring& folder) {
    size_t end = folder.size();
    while (end > 0 && isSeparator(folder[end - 1]))
        --end;
    if (end == 0 && !folder.empty())
        end = 1;
    folder.resize(end);
}

// Splits a path into its folder (up to and with the last separator) and the file name
// with extension. There are no drive letters here.
void splitPath(const std::wstring& path, std::wstring& folder, std::wstring& name) {
    size_t slash = path.find_last_of(L'/');
    if (slash == std::wstring::npos) {
        folder.clear();
        name = path;
    } else {
        folder = path.substr(0, slash + 1);
        name = path.substr(slash + 1);
    }
}

std::wstring cutAtLastSeparator(const std::wstring& path) {
    size_t slash = path.find_last_of(L'/');
    if (slash == std::wstring::npos)
        return path;
    return slash == 0 ? std::wstring(L"/") : path.substr(0, slash);
}

std::wstring programFile(const wchar_t* name) {
    return createPath(getWorkingPath(), name);
}

std::wstring fileVersionOf(const std::wstring& path) {
    std::wstring version;
    getFileVersionInfo(path, version);
    return version;
}

// Text of the user's local application data folder (XDG data home).
std::string localAppData() {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    std::string home;
    if (const char* h = getenv("HOME"); h && *h == '/') {
        home = h;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
            *found->pw_dir == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return {};
    if (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home + "/.local/share";
}

// Caches are never destroyed: paths stay valid for code that runs during process
// exit (static destructors, the trace log's closing records).
PathCache& newCache() {
    return *new PathCache;
}

PathCache& workingPathCache() {
    static PathCache& cache = newCache();
    return cache;
}

}  // namespace

std::wstring& getWorkingPath(std::wstring& out) {
    out = workingPathCache().get([] { return wide(kitbase::executableFolder()); });
    return out;
}

const std::wstring& getWorkingPath() {
    return workingPathCache().get([] { return wide(kitbase::executableFolder()); });
}

void setWorkingPath(const std::wstring& path) {
    workingPathCache().set(path);
}

std::wstring getThisBinaryPath(HINSTANCE module) {
    return wide(kitbase::modulePath(module));
}

const std::wstring& getproductName() {
    static PathCache& cache = newCache();
    return cache.get([] { return getString(isServer() ? 1053 : 1028); });
}

const std::wstring& getConfigFile() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getWorkingPath(), getproductName() + L".conf"); });
}

const std::wstring& getScannerPath() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getWorkingPath(), L"Scanner"); });
}

const std::wstring& getEnginePath() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getScannerPath(), L"engine"); });
}

const std::wstring& getServiceFileName() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"scanwarden.exe"); });
}

const std::wstring& getServiceFileVersion() {
    static PathCache& cache = newCache();
    return cache.get([] { return fileVersionOf(getServiceFileName()); });
}

const std::wstring& getThisFilesVersion() {
    static PathCache& cache = newCache();
    return cache.get([] {
        return fileVersionOf(
            wide(kitbase::modulePathOf(reinterpret_cast<const void*>(&getThisFilesVersion))));
    });
}

const std::wstring& getServiceRegPath() {
    static PathCache& cache = newCache();
    return cache.get([] {
        // Without a service name the path would name the key of all services.
        std::wstring service = getString(1029);
        return service.empty() ? std::wstring() : L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    });
}

const std::wstring& getInstallDir() {
    static PathCache& cache = newCache();
    return cache.get([] {
        std::wstring image = getSRegValue(L"ImagePath");
        return image.empty() ? getWorkingPath() : cutAtLastSeparator(image);
    });
}

const std::wstring& getTrayApp() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"lumenpost.exe"); });
}

const std::wstring& getGUIApp() {
    static PathCache& cache = newCache();
    return cache.get([] { return getTrayApp(); });
}

const std::wstring& getQuaApp() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"vaultkeep.exe"); });
}

const std::wstring& getStatusmith() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"statusmith.exe"); });
}

const std::wstring& getShieldclerk() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"shieldclerk.exe"); });
}

const std::wstring& getConsoleAgent() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"consoleagent.exe"); });
}

const std::wstring& getWebfilter() {
    static PathCache& cache = newCache();
    return cache.get([] { return programFile(L"webfilter.exe"); });
}

unsigned int getAllUsersFolder(std::wstring& out) {
    std::string folder = kitbase::programDataFolder();
    if (folder.empty())
        return 0;
    out = wide(folder);
    return 1;
}

const std::wstring& getAllUsersFolder() {
    static PathCache& cache = newCache();
    return cache.get([] {
        std::wstring folder;
        getAllUsersFolder(folder);
        return folder;
    });
}

unsigned int getAppDataFolder(std::wstring& out) {
    std::string folder = localAppData();
    if (folder.empty())
        return 0;
    out = wide(folder);
    return 1;
}

const std::wstring& getAppDataFolder() {
    static PathCache& cache = newCache();
    return cache.get([] {
        std::wstring folder;
        getAppDataFolder(folder);
        return created(createPath(folder, getproductName()));
    });
}

const std::wstring& getCommonFolder() {
    static PathCache& cache = newCache();
    return cache.get([] { return created(createPath(getAllUsersFolder(), getproductName())); });
}

const std::wstring& getCommonLogsFolder() {
    static PathCache& cache = newCache();
    return cache.get([] { return created(createPath(getCommonFolder(), L"logs")); });
}

const std::wstring& getLogFolder() {
    static PathCache& cache = newCache();
    return cache.get([] { return created(getCommonLogsFolder()); });
}

const std::wstring& getTmp() {
    static PathCache& cache = newCache();
    return cache.get([] { return created(createPath(getCommonFolder(), L"temp")); });
}

const std::wstring& getIDXFolder() {
    static PathCache& cache = newCache();
    return cache.get([] { return created(createPath(getCommonFolder(), L"idx")); });
}

const std::wstring& getQuarantineFolder() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getCommonFolder(), L"quarantine"); });
}

const std::wstring& getLogFile(const std::wstring& suffix) {
    static PathCache& cache = newCache();
    return cache.get([&suffix] { return createPath(getLogFolder(), getproductName() + suffix + L".log"); });
}

const std::wstring& getAlertsLogFile() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getCommonLogsFolder(), getproductName() + L"_alerts.log"); });
}

const std::wstring& getLogDB() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getCommonLogsFolder(), getproductName() + L"_log.db"); });
}

const std::wstring& getStatsDB() {
    static PathCache& cache = newCache();
    return cache.get([] { return createPath(getCommonLogsFolder(), getproductName() + L"_stats.db"); });
}

const std::wstring& getIDXFile() {
    static PathCache& cache = newCache();
    return cache.get([] {
        return createPath(getIDXFolder(), lower(getproductName() + L"-" + getString(1013) + L".idx"));
    });
}

const std::wstring& getWinDir() {
    static PathCache& cache = newCache();
    return cache.get([] { return cutAtLastSeparator(wide(kitbase::systemFolder())); });
}

std::wstring createPath(const std::wstring& a, const std::wstring& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    std::wstring first = a;
    size_t end = first.find_last_not_of(L" \r\n");
    if (end == std::wstring::npos)
        return b;
    first.resize(end + 1);
    // Both file paths and addresses ("http...") join with "/"; a "\" already present
    // at the seam (a registry-style path) is kept as the separator.
    bool firstEnds = !first.empty() && (first.back() == L'/' || first.back() == L'\\');
    bool secondBegins = b.front() == L'/' || b.front() == L'\\';
    if (!firstEnds && !secondBegins)
        first += L'/';
    return first + b;
}

std::wstring createPath(const std::wstring& a, const std::wstring& b, const std::wstring& c) {
    return createPath(createPath(a, b), c);
}

std::wstring createPathWithExt(const std::wstring& a, const std::wstring& b, const std::wstring& ext) {
    return createPath(a, b) + ext;
}

std::wstring getFilename(const std::wstring& path) {
    std::wstring unquoted = path;
    stripQuotes(unquoted);
    std::wstring folder, name;
    splitPath(unquoted, folder, name);
    return name;
}

std::wstring getPath(const std::wstring& path) {
    std::wstring folder, name;
    splitPath(path, folder, name);
    stripQuotes(folder);
    trimTrailingSeparators(folder);
    return folder;
}

bool getPathParts(const std::wstring& path, std::wstring& folder, std::wstring& name) {
    splitPath(path, folder, name);
    stripQuotes(folder);
    trimTrailingSeparators(folder);
    // The closing quote of a quoted path belongs to no file name.
    stripQuotes(name);
    return !path.empty();
}

std::wstring& quotePathIfBlank(std::wstring& path) {
    if (path.find(L' ') != std::wstring::npos) {
        stripQuotes(path);
        path = L"\"" + path + L"\"";
    }
    return path;
}
