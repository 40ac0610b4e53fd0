#pragma once
// The machine's registry: a tree of keys below HKEY_LOCAL_MACHINE, each holding named,
// typed values, kept in one SQLite database under the machine root. Key paths and value
// names are compared without regard to case and keep the case they were created with;
// key paths use backslashes ("SOFTWARE\Vendor\Product"). Several processes and threads
// may use the store at once: every change is one transaction, and a writer waits for
// another process's transaction instead of failing.
//
// Every operation returns a Windows error code (ERROR_SUCCESS when it worked).
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/platform/wintypes.h"

namespace SQLite {
class Database;
}

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_DWORD = 4;

// Access rights of an open key.
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF013F;

namespace kitbase {

// An open key: which key and what the opener may do with it. A key deleted while open
// stays "open", but its value operations fail with ERROR_KEY_DELETED.
struct RegistryKey {
    int64_t id = 0;
    DWORD access = 0;
    bool isOpen() const { return id != 0; }
};

class KITBASE_API RegistryStore {
public:
    // A store in the given database file (created, with its folder, on first use).
    explicit RegistryStore(std::string databasePath);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // The machine's store at registryStorePath().
    static RegistryStore& machine();

    // Opens an existing key: ERROR_FILE_NOT_FOUND when it is missing.
    DWORD openKey(const std::wstring& path, DWORD access, RegistryKey& out);
    // Opens a key, creating it and its missing parents first; `created` tells whether it was new.
    DWORD createKey(const std::wstring& path, DWORD access, RegistryKey& out, bool* created = nullptr);
    // Deletes a key with all its subkeys and values: ERROR_FILE_NOT_FOUND when it is missing.
    DWORD deleteKey(const std::wstring& path);

    // Writes a value (replacing one of the same name, whatever its type). Needs KEY_SET_VALUE.
    DWORD setValue(const RegistryKey& key, const std::wstring& name, DWORD type,
                   const std::vector<BYTE>& data);
    // Reads a value's type and bytes: ERROR_FILE_NOT_FOUND when it is missing. Needs KEY_QUERY_VALUE.
    DWORD queryValue(const RegistryKey& key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data);
    // Deletes a value: ERROR_FILE_NOT_FOUND when it is missing. Needs KEY_SET_VALUE.
    DWORD deleteValue(const RegistryKey& key, const std::wstring& name);

    // Typed conveniences over setValue/queryValue. A string is stored as REG_SZ in UTF-16
    // (two bytes per UTF-16 unit, no terminating zero); reading a string value cuts it at
    // its first zero character. A REG_DWORD is four little-endian bytes.
    DWORD setString(const RegistryKey& key, const std::wstring& name, const std::wstring& text);
    DWORD setDword(const RegistryKey& key, const std::wstring& name, DWORD value);
    DWORD getString(const RegistryKey& key, const std::wstring& name, std::wstring& text);
    DWORD getDword(const RegistryKey& key, const std::wstring& name, DWORD& value);

private:
    SQLite::Database& db();  // opens (and sets up) the database; throws on failure

    const std::string path_;
    std::mutex lock_;
    std::unique_ptr<SQLite::Database> db_;
    long openedBy_ = 0;  // process that opened db_ (a forked child opens its own)
};

// The byte form of registry texts (UTF-16 little-endian, two bytes per unit, no terminator).
KITBASE_API std::vector<BYTE> registryTextBytes(const std::wstring& text);
// Text from registry bytes, cut at the first zero unit (an odd last byte is ignored).
KITBASE_API std::wstring registryTextFromBytes(const BYTE* data, size_t size);

// The Windows release the machine presents. It is kept in the registry key
// "SOFTWARE\Microsoft\Windows NT\CurrentVersion" (values "CurrentVersion",
// "CurrentBuild", "InstallationType", "CurrentMajorVersionNumber",
// "CurrentMinorVersionNumber", "CSDVersion"), which a new store holds with the values of
// a Windows 10 client (build 19045); changing those values emulates another release.
extern KITBASE_API const wchar_t* const kWindowsVersionKey;

struct WindowsVersionNumbers {
    DWORD major = 10;
    DWORD minor = 0;
    WORD servicePackMajor = 0;
};
// The version numbers of the emulated release: major and minor from
// "CurrentMajorVersionNumber"/"CurrentMinorVersionNumber", else from the text
// "CurrentVersion" ("6.1"); the service pack from "CSDVersion" ("Service Pack 1").
// Windows 10.0 without service pack when the key is missing.
KITBASE_API WindowsVersionNumbers windowsVersionNumbers();

}  // namespace kitbase
