#pragma once
// The service's exclusion list: absolute paths of files and folders that are never
// scanned. Entries are kept lower-cased; a path is excluded when it equals an entry
// or lies below an entry that names a folder ("/tmp" excludes "/tmp/x", not
// "/tmpfoo"). Entries are only ever added, never removed.
#include <mutex>
#include <set>
#include <string>
#include <string_view>

class Trace;

class _Whitelist {
public:
    _Whitelist() = default;
    virtual ~_Whitelist() = default;
    _Whitelist(const _Whitelist&) = delete;
    _Whitelist& operator=(const _Whitelist&) = delete;

    // The process-wide list, created on first use.
    static _Whitelist& instance();

    virtual std::wstring className() const { return L"Whitelist"; }

    // True when the path is excluded. `scanLog` (optional) receives the explain and
    // debug records of the check.
    bool isWhitelisted(const std::wstring& path, Trace* scanLog = nullptr) const;

    // Adds a ';'-separated list (result: the number of entries afterwards) or one
    // entry (result: 1 added, 0 not).
    size_t addList(const std::wstring& text);

    // Adds one entry; the caller holds mutex(). True when added.
    bool add(const std::wstring& entry);

    // Guards the entries; not re-entrant.
    std::mutex& mutex() const { return mutex_; }

    // Number of entries.
    size_t size() const;

private:
    mutable std::mutex mutex_;
    std::set<std::wstring, std::less<>> entries_;
};
