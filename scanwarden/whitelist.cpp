#include "scanwarden/whitelist.h"

#include <cstdlib>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"

extern char** environ;

namespace {

constexpr size_t kMaxEnvironmentValue = 1024;

// The value of an environment variable; names are matched as given first, then without
// regard to case (configuration files name them the way Windows users write them).
std::wstring environmentValue(const std::wstring& name) {
    if (name.empty())
        return std::wstring();
    const std::string narrow = WS2S(name);
    if (const char* value = std::getenv(narrow.c_str()))
        return S2WS(value).substr(0, kMaxEnvironmentValue);
    const std::string wanted = lower(narrow);
    for (char** item = environ; item != nullptr && *item != nullptr; ++item) {
        const std::string entry(*item);
        const size_t equals = entry.find('=');
        if (equals != std::string::npos && lower(entry.substr(0, equals)) == wanted)
            return S2WS(entry.substr(equals + 1)).substr(0, kMaxEnvironmentValue);
    }
    return std::wstring();
}

// Cuts trailing separators, so "/tmp/" and "/tmp" are one entry; the root stays "/".
void dropTrailingSeparators(std::wstring& path) {
    while (path.size() > 1 && path.back() == L'/')
        path.pop_back();
}

}  // namespace

_Whitelist& _Whitelist::instance() {
    static _Whitelist whitelist;
    return whitelist;
}

size_t _Whitelist::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

bool _Whitelist::add(const std::wstring& given) {
    std::wstring entry = lower(given);

    if (entry.find_first_of(L"*?") != std::wstring::npos) {
        __trace__.error(L"Exception list: Ignoring string because an invalid character was found:%ls", entry);
        return false;
    }

    if (entry.find(L'%') != std::wstring::npos) {
        const size_t close = entry.size() > 1 ? entry.find(L'%', 1) : std::wstring::npos;
        if (entry[0] != L'%' || close == std::wstring::npos) {
            // A '%' that does not open the entry leaves no valid name to look up.
            if (entry[0] == L'%') {
                __trace__.error(L"Exception list: Ignoring invalid environment string (not terminated):%ls",
                                entry);
                return false;
            }
            __trace__.error(L"Exception list: Ignoring invalid environment string (not found):%ls", entry);
            return false;
        }
        // The name as written (environment names are case-sensitive here).
        const std::wstring name = given.substr(1, close - 1);
        const std::wstring value = environmentValue(name);
        if (value.empty()) {
            __trace__.error(L"Exception list: Ignoring invalid environment string (not found):%ls", entry);
            return false;
        }
        __trace__.debug(L"Found environment string: %ls", value);
        const std::wstring expanded = lower(value);
        __trace__.debug(L"Expanded environment variable '%ls' to '%ls'", name, expanded);
        const std::wstring finalPath = createPath(expanded, entry.substr(close + 1));
        __trace__.debug(L"Final path with expanded env. variable '%ls' to '%ls'", entry, finalPath);
        entry = finalPath;
    }

    if (entry.empty() || entry[0] != L'/') {
        __trace__.error(L"Exception list: Ignoring string because a relative path was found:%ls", entry);
        return false;
    }
    dropTrailingSeparators(entry);
    if (entry == L"/")
        __trace__.warning(
            L"Attention: Are you trying to whitelist an entire drive or server ? This can be dangerous! "
            L"Path:%ls",
            entry);

    if (entries_.insert(entry).second) {
        __trace__.debug(L"Object %ls was added in the whitelist", entry);
        return true;
    }
    __trace__.debug(L"Object %ls was NOT added in the whitelist", entry);
    return false;
}

size_t _Whitelist::addList(const std::wstring& text) {
    if (text.empty())
        return 0;
    if (text.find(L';') == std::wstring::npos) {
        std::lock_guard<std::mutex> guard(mutex_);
        return add(text) ? 1 : 0;
    }
    const std::vector<std::wstring> parts = split(text, L';');
    if (parts.empty()) {
        __trace__.error(L"Add to whitelist can not split the object list");
        return 0;
    }
    __trace__.debug(L"Adding %d elements in the whitelist", static_cast<int>(parts.size()));
    std::lock_guard<std::mutex> guard(mutex_);
    for (const std::wstring& part : parts) {
        // Empty items (";;") say nothing; they are not relative paths.
        if (!part.empty())
            add(part);
    }
    __trace__.debug(L" %d Objects added in the whitelist:", static_cast<int>(entries_.size()));
    return entries_.size();
}

bool _Whitelist::isWhitelisted(const std::wstring& path, Trace* scanLog) const {
    if (path.empty())
        return false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (entries_.empty())
            return false;
    }
    if (scanLog != nullptr)
        scanLog->explain(L"Whitelist: checking Object '%ls'", path);

    const std::wstring lowered = lower(path);
    const std::wstring_view view(lowered);
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        // Candidates: the path itself and each of its folders (the prefixes that end
        // right before a separator), the root included.
        found = entries_.count(view) != 0;
        for (size_t i = 0; !found && i < view.size(); ++i) {
            if (view[i] != L'/')
                continue;
            const std::wstring_view folder = view.substr(0, i == 0 ? 1 : i);
            found = entries_.count(folder) != 0;
        }
    }
    if (found) {
        if (scanLog != nullptr)
            scanLog->debug(L"Object %ls not scanned because it was found in the whitelist:", path);
        else
            __trace__.debug(L"Object %ls not scanned because it was found in the whitelist:", path);
        return true;
    }
    if (scanLog != nullptr)
        scanLog->explain(L"Object %ls not found in the whitelist:", path);
    return false;
}
