#pragma once
// One registry key below HKEY_LOCAL_MACHINE (`Registry`), and the helpers that read
// and write single values of the service's own key.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/wintypes.h"

class KITBASE_API Registry {
public:
    // Opens the key (nothing is created); an empty path opens nothing.
    explicit Registry(const std::wstring& path = L"", DWORD access = KEY_ALL_ACCESS);
    virtual ~Registry();
    // An object owns its open key: it is moved, never copied.
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    Registry(Registry&& other) noexcept;
    Registry& operator=(Registry&& other) noexcept;

    // Opens the key, creating it (and its missing parents) first; any key open before
    // is closed. True when the key is open.
    bool Create(const std::wstring& path, DWORD access = KEY_ALL_ACCESS);

    bool valid() const { return valid_; }
    const std::wstring& path() const { return path_; }
    void close();

    // A string value of at most 1023 bytes (511 characters), cut at its first zero
    // character; empty when no key is open, the value is missing or longer. The value's
    // type is not checked.
    std::wstring getStringValue(const std::wstring& name);
    // Writes REG_SZ; 0 ok, -1 when no key is open or the write fails.
    int setStringValue(const std::wstring& name, const std::wstring& text);
    // A value of at most 4 bytes; -1 when no key is open or the read fails.
    int getIntValue(const std::wstring& name);
    // Writes REG_DWORD; 0 ok, -1 otherwise.
    int setIntValue(const std::wstring& name, int value);
    // -1 when no key is open, else the Windows result of the deletion (0 ok).
    int delValue(const std::wstring& name);

private:
    std::wstring path_;
    kitbase::RegistryKey key_;
    bool valid_ = false;
};

// Values of the service's registry key ("SYSTEM\CurrentControlSet\Services\" + the
// service name), each opened for the one call. A service name that is not known yet
// or a key that cannot be opened gives the failure result.
// 0 ok, -1 failure.
KITBASE_API int setIRegValue(const std::wstring& name, int value);
KITBASE_API int setSRegValue(const std::wstring& name, const std::wstring& text);
// The value, -1 (0xFFFFFFFF) on failure.
KITBASE_API int getIRegValue(const std::wstring& name);
// The text, empty on failure.
KITBASE_API std::wstring getSRegValue(const std::wstring& name);
// 0 ok, -1 when the key cannot be opened, else the Windows error of the deletion.
KITBASE_API int delRegValue(const std::wstring& name);
